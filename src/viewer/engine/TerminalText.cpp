#include "viewer/engine/TerminalText.h"

namespace {

bool needsEscape(QChar c) {
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
        return true;
    default:
        return false;
    }
}

void appendEscape(QString& out, QChar c) {
    switch (c.unicode()) {
    case '\n':
        out += QLatin1String("\\n");
        return;
    case '\r':
        out += QLatin1String("\\r");
        return;
    case '\t':
        out += QLatin1String("\\t");
        return;
    default:
        break;
    }
    if (c.unicode() < 0x100)
        out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    else
        out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
}

} // namespace

QString terminalText(const QString& text, int limit) {
    int end = text.size();
    bool cut = false;
    if (limit >= 0 && end > limit) {
        end = limit;
        // Keep a pair whole: cut before its high half.
        if (end > 0 && text.at(end - 1).isHighSurrogate() && text.at(end).isLowSurrogate())
            --end;
        cut = true;
    }
    QString out;
    out.reserve(end + 16);
    for (int i = 0; i < end; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < end && text.at(i + 1).isLowSurrogate()) {
            const uint code = QChar::surrogateToUcs4(c, text.at(i + 1));
            // Format characters also live outside the basic plane (tag characters, for one).
            if (QChar::category(code) == QChar::Other_Format) {
                out += QStringLiteral("\\U%1").arg(code, 8, 16, QLatin1Char('0'));
            } else {
                out += c;
                out += text.at(i + 1);
            }
            ++i;
            continue;
        }
        if (needsEscape(c))
            appendEscape(out, c);
        else
            out += c;
    }
    if (cut)
        out += QStringLiteral(" [... %1 more characters cut]").arg(text.size() - end);
    return out;
}
