#include "viewer/protocol/Messages.h"

namespace Protocol {

namespace {

// Channel number and message id, the start of every frame.
Writer& head(Writer& w, const MessageBase& m, Byte id) {
    return w.u8(m.channel).u8(id);
}

} // namespace

bool DisconnectMessage::read(Reader& r) {
    if (!r.readString(reason)) {
        return false;
    }
    if (!r.readU8(level)) {
        level = ErrorLevel::Unspecified;
    }
    return true;
}

bool DisconnectMessage::write(Writer& w) const {
    return head(w, *this, Id).string(reason).u8(level).ok();
}

bool IdentityMessage::read(Reader& r) {
    return r.readU8(version) && r.readString(identity);
}

bool IdentityMessage::write(Writer& w) const {
    return head(w, *this, Id).u8(version).string(identity).ok();
}

bool CapabilitiesMessage::read(Reader& r) {
    return r.readBlobList(entries);
}

bool CapabilitiesMessage::write(Writer& w) const {
    return head(w, *this, Id).blobList(entries).ok();
}

bool SecurityMessage::read(Reader& r) {
    return r.readString(displayName) && r.readBlob(password);
}

bool SecurityMessage::write(Writer& w) const {
    return head(w, *this, Id).string(displayName).blob(password).ok();
}

bool SettingsMessage::read(Reader& r) {
    return r.readBlobList(entries);
}

bool SettingsMessage::write(Writer& w) const {
    return head(w, *this, Id).blobList(entries).ok();
}

bool ChannelOpenRequestMessage::read(Reader& r) {
    return r.readString(name);
}

bool ChannelOpenRequestMessage::write(Writer& w) const {
    return head(w, *this, Id).string(name).ok();
}

bool ChannelOpenMessage::read(Reader& r) {
    return r.readString(name) && r.readU8(status) && r.readU8(number);
}

bool ChannelOpenMessage::write(Writer& w) const {
    return head(w, *this, Id).string(name).u8(status).u8(number).ok();
}

bool ChannelCloseMessage::read(Reader& r) {
    return r.readU8(number);
}

bool ChannelCloseMessage::write(Writer& w) const {
    return head(w, *this, Id).u8(number).ok();
}

bool SurfaceCreateMessage::read(Reader& r) {
    return r.readU32(surfaceId) && r.readU16(width) && r.readU16(height);
}

bool SurfaceCreateMessage::write(Writer& w) const {
    return head(w, *this, Id).u32(surfaceId).u16(width).u16(height).ok();
}

bool SurfaceDestroyMessage::read(Reader& r) {
    return r.readU32(surfaceId);
}

bool SurfaceDestroyMessage::write(Writer& w) const {
    return head(w, *this, Id).u32(surfaceId).ok();
}

bool SurfaceResizeMessage::read(Reader& r) {
    return r.readU32(surfaceId) && r.readU16(width) && r.readU16(height);
}

bool SurfaceResizeMessage::write(Writer& w) const {
    return head(w, *this, Id).u32(surfaceId).u16(width).u16(height).ok();
}

bool SurfaceBitsMessage::read(Reader& r) {
    return r.readU32(surfaceId) && r.readU8(codec);
}

bool SurfaceBitsMessage::write(Writer& w) const {
    return head(w, *this, Id).u32(surfaceId).u8(codec).ok();
}

bool Rfx7UpdateMessage::readBody(Reader& r) {
    return r.readQuantSet(quantY) && r.readQuantSet(quantCb) && r.readQuantSet(quantCr) &&
           r.readRectList(rects) && r.readTileList(tiles);
}

bool Rfx7UpdateMessage::read(Reader& r) {
    return SurfaceBitsMessage::read(r) && readBody(r);
}

bool Rfx7UpdateMessage::write(Writer& w) const {
    SurfaceBitsMessage::write(w);
    return w.quantSet(quantY).quantSet(quantCb).quantSet(quantCr).rectList(rects).tileList(tiles).ok();
}

bool ImageCodecUpdateMessage::readBody(Reader& r) {
    return r.readRectList(rects) && r.readTileList(tiles);
}

bool ImageCodecUpdateMessage::read(Reader& r) {
    return SurfaceBitsMessage::read(r) && readBody(r);
}

bool ImageCodecUpdateMessage::write(Writer& w) const {
    SurfaceBitsMessage::write(w);
    return w.rectList(rects).tileList(tiles).ok();
}

bool SurfaceCopyMessage::read(Reader& r) {
    return r.readU32(sourceId) && r.readRectList(rects) && r.readU32(destinationId) && r.readI16(offset.dx) &&
           r.readI16(offset.dy);
}

bool SurfaceCopyMessage::write(Writer& w) const {
    return head(w, *this, Id)
        .u32(sourceId)
        .rectList(rects)
        .u32(destinationId)
        .i16(offset.dx)
        .i16(offset.dy)
        .ok();
}

bool SurfaceFrameBeginMessage::read(Reader& r) {
    return r.readU16(frameId);
}

bool SurfaceFrameBeginMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(frameId).ok();
}

bool SurfaceFrameEndMessage::read(Reader& r) {
    return r.readU16(frameId);
}

bool SurfaceFrameEndMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(frameId).ok();
}

bool SurfaceFrameAckMessage::read(Reader& r) {
    return r.readU16(frameId);
}

bool SurfaceFrameAckMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(frameId).ok();
}

bool NetworkDetectBeginMessage::read(Reader&) {
    return true;
}

bool NetworkDetectBeginMessage::write(Writer& w) const {
    return head(w, *this, Id).ok();
}

bool NetworkDetectEndMessage::read(Reader& r) {
    return r.readU64(value);
}

bool NetworkDetectEndMessage::write(Writer& w) const {
    return head(w, *this, Id).u64(value).ok();
}

bool NetworkDetectResultsMessage::read(Reader& r) {
    return r.readU64(value) && r.readU64(elapsedMs) && r.readU64(bytesReceived);
}

bool NetworkDetectResultsMessage::write(Writer& w) const {
    return head(w, *this, Id).u64(value).u64(elapsedMs).u64(bytesReceived).ok();
}

bool PointerCreateMessage::read(Reader& r) {
    return r.readU8(pointerId) && r.readU16(hotspotX) && r.readU16(hotspotY) && r.readBlob(png);
}

bool PointerCreateMessage::write(Writer& w) const {
    return head(w, *this, Id).u8(pointerId).u16(hotspotX).u16(hotspotY).blob(png).ok();
}

bool PointerSetCachedMessage::read(Reader& r) {
    return r.readU8(pointerId);
}

bool PointerSetCachedMessage::write(Writer& w) const {
    return head(w, *this, Id).u8(pointerId).ok();
}

bool PointerHideMessage::read(Reader&) {
    return true;
}

bool PointerHideMessage::write(Writer& w) const {
    return head(w, *this, Id).ok();
}

bool PointerSystemMessage::read(Reader&) {
    return true;
}

bool PointerSystemMessage::write(Writer& w) const {
    return head(w, *this, Id).ok();
}

bool PointerPositionMessage::read(Reader& r) {
    return r.readU16(x) && r.readU16(y);
}

bool PointerPositionMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(x).u16(y).ok();
}

} // namespace Protocol
