#pragma once

// Deterministic desktop-like test pictures: windows with title bars and text, gradients and a
// photo-like area. Pixels are 0xAARRGGBB, rows width * 4 bytes apart.

#include <cstdint>
#include <vector>

std::vector<uint32_t> rfx7DesktopImage(int width, int height, uint32_t seed = 1);

// Small pictures for round trips (64x64): "gradient", "text", "photo", "flat", "noise" and
// "translucent" (a gradient whose alpha varies).
std::vector<uint32_t> rfx7SampleTile(const char* kind, uint32_t seed = 1);
