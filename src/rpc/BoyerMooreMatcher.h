#pragma once

#include <QByteArray>
#include <QObject>
#include <QVector>

class QIODevice;

// The line the server's interface command prints before its netstring stream.
QByteArray netStringStartMarker();

// Boyer-Moore tables: the bad-character table (256 entries) and the strong good-suffix table.
QVector<int> boyerMooreDelta1(const QByteArray& pattern);
QVector<int> boyerMooreDelta2(const QByteArray& pattern);

// Finds a pattern in a stream without reading a byte past it.
class BoyerMooreMatcher : public QObject {
    Q_OBJECT
public:
    // Tables of the wrong size are replaced by ones computed from the pattern.
    BoyerMooreMatcher(const QByteArray& pattern, const QVector<int>& delta1, const QVector<int>& delta2,
                      QObject* parent = nullptr);
    // A matcher for the start marker, with tables computed once from the marker's bytes.
    static BoyerMooreMatcher* forStartMarker(QObject* parent = nullptr);

    void feed(QIODevice* device);
    bool found() const { return m_found; }

private:
    QByteArray m_pattern;
    QVector<int> m_delta1;
    QVector<int> m_delta2;
    QByteArray m_window;
    int m_toRead;
    bool m_found = false;
};
