#include "platform/magellan/MagellanReports.h"

namespace MagellanReports {

namespace {

quint16 le16(const QByteArray& d, int at) {
    return quint16(quint8(d.at(at)) | quint8(d.at(at + 1)) << 8);
}

quint16 neg(quint16 v) {
    return quint16(0u - v);
}

constexpr int TranslationReportSize = 7;
constexpr int FullMotionReportSize = 13;

} // namespace

Report decode(const QByteArray& d) {
    Report r;
    if (d.isEmpty()) {
        return r;
    }
    switch (quint8(d.at(0))) {
    case 1:
        if (d.size() < TranslationReportSize) {
            return r;
        }
        r.kind = Report::Kind::Move;
        r.axes[0] = le16(d, 1);
        r.axes[1] = neg(le16(d, 5));
        r.axes[2] = neg(le16(d, 3));
        if (d.size() == FullMotionReportSize) {
            r.axes[3] = le16(d, 7);
            r.axes[4] = neg(le16(d, 11));
            r.axes[5] = neg(le16(d, 9));
        }
        return r;
    case 2:
        if (d.size() < TranslationReportSize) {
            return r;
        }
        r.kind = Report::Kind::Move;
        r.axes[3] = le16(d, 1);
        r.axes[4] = neg(le16(d, 5));
        r.axes[5] = neg(le16(d, 3));
        return r;
    case 3: {
        if (d.size() < 2) {
            return r;
        }
        r.kind = Report::Kind::Keys;
        const int bytes = qMin(4, d.size() - 1);
        for (int i = 0; i < bytes; ++i) {
            r.keys |= quint32(quint8(d.at(1 + i))) << (8 * i);
        }
        return r;
    }
    default:
        return r;
    }
}

bool isMultiAxisController(const QByteArray& descriptor) {
    const int n = descriptor.size();
    quint32 usagePage = 0;
    bool haveUsage = false;
    quint32 usage = 0;
    bool usageHasPage = false;
    int depth = 0;
    int i = 0;
    while (i < n) {
        const quint8 prefix = quint8(descriptor.at(i));
        if (prefix == 0xFE) { // long item: data size, tag, data
            if (i + 2 >= n) {
                return false;
            }
            i += 3 + quint8(descriptor.at(i + 1));
            continue;
        }
        const int size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (i + 1 + size > n) {
            return false;
        }
        quint32 value = 0;
        for (int k = 0; k < size; ++k) {
            value |= quint32(quint8(descriptor.at(i + 1 + k))) << (8 * k);
        }
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (type == 1 && tag == 0) { // global: usage page
            usagePage = value;
        } else if (type == 2 && tag == 0) { // local: usage (a 4-byte usage carries its own page)
            usage = value;
            usageHasPage = size == 4;
            haveUsage = true;
        } else if (type == 0) { // main items end the local state
            if (tag == 0xA) {   // collection
                if (depth == 0 && value == 1 && haveUsage) {
                    const quint32 page = usageHasPage ? usage >> 16 : usagePage;
                    const quint32 id = usageHasPage ? (usage & 0xFFFF) : usage;
                    if (page == 1 && id == 8) {
                        return true;
                    }
                }
                ++depth;
            } else if (tag == 0xC && depth > 0) { // end collection
                --depth;
            }
            haveUsage = false;
        }
        i += 1 + size;
    }
    return false;
}

} // namespace MagellanReports
