#include "rpc/BoyerMooreMatcher.h"

#include <QIODevice>
#include <algorithm>

QByteArray netStringStartMarker() {
    return QByteArrayLiteral("---- BEGIN Velnor NetString ----");
}

QVector<int> boyerMooreDelta1(const QByteArray& pattern) {
    const int m = pattern.size();
    QVector<int> table(256, m);
    for (int i = 0; i < m; ++i)
        table[static_cast<unsigned char>(pattern[i])] = m - 1 - i;
    return table;
}

QVector<int> boyerMooreDelta2(const QByteArray& pattern) {
    // Straight from the definition; patterns are short and this runs once per pattern.
    const int m = pattern.size();
    QVector<int> table(m, 0);
    for (int j = 0; j < m; ++j) {
        int s = 1;
        for (;; ++s) {
            bool fits = true;
            for (int k = j + 1; k < m && fits; ++k) {
                if (k - s >= 0 && pattern[k - s] != pattern[k])
                    fits = false;
            }
            if (fits && (j - s < 0 || pattern[j - s] != pattern[j]))
                break;
        }
        table[j] = (m - 1 - j) + s;
    }
    return table;
}

BoyerMooreMatcher::BoyerMooreMatcher(const QByteArray& pattern, const QVector<int>& delta1,
                                     const QVector<int>& delta2, QObject* parent)
    : QObject(parent)
    , m_pattern(pattern)
    , m_delta1(delta1)
    , m_delta2(delta2)
    , m_toRead(pattern.size())
    , m_found(pattern.isEmpty()) {
    // Tables that do not fit the pattern would be indexed out of range; make fitting ones.
    if (m_delta1.size() != 256)
        m_delta1 = boyerMooreDelta1(pattern);
    if (m_delta2.size() != pattern.size())
        m_delta2 = boyerMooreDelta2(pattern);
    m_window.reserve(pattern.size() + 64);
}

BoyerMooreMatcher* BoyerMooreMatcher::forStartMarker(QObject* parent) {
    static const QByteArray pattern = netStringStartMarker();
    static const QVector<int> delta1 = boyerMooreDelta1(pattern);
    static const QVector<int> delta2 = boyerMooreDelta2(pattern);
    return new BoyerMooreMatcher(pattern, delta1, delta2, parent);
}

void BoyerMooreMatcher::feed(QIODevice* device) {
    const int m = m_pattern.size();
    while (!m_found && device && device->bytesAvailable() > 0) {
        const QByteArray chunk = device->read(std::min(m_toRead, 64));
        if (chunk.isEmpty())
            return;
        m_window.append(chunk);
        if (m_window.size() > m)
            m_window.remove(0, m_window.size() - m);
        m_toRead -= chunk.size();
        if (m_toRead > 0)
            continue;

        int j = m - 1;
        while (j >= 0 && m_window[j] == m_pattern[j])
            --j;
        if (j < 0) {
            m_found = true;
            m_toRead = 0;
            return;
        }
        const int c = static_cast<unsigned char>(m_window[j]);
        m_toRead = std::max(m_delta1[c], m_delta2[j]) - (m - 1 - j);
    }
}
