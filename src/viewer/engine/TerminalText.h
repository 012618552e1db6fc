#pragma once

#include <QString>

// Text from a server made safe for a terminal or a log line: every control character (C0, DEL, C1),
// format character (direction overrides, zero-width marks), line or paragraph separator and lone
// surrogate becomes a visible escape ("\n", "\x1b", "\u202e"), so that nothing the server sends can move
// the cursor, retitle or clear the terminal, or forge a line. Text longer than `limit` characters is cut
// there, never inside a surrogate pair, and marked as cut.
QString terminalText(const QString& text, int limit = 4096);
