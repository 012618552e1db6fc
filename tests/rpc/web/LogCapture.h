#pragma once

#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Collects the messages of one logging category while it exists, with its debug output turned on.
class LogCapture {
public:
    explicit LogCapture(const char* category)
        : m_category(category) {
        instance() = this;
        QLoggingCategory::setFilterRules(QStringLiteral("%1.debug=true").arg(QLatin1String(category)));
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
        instance() = nullptr;
    }

    QStringList lines() const {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    int count(const QString& prefix) const {
        int n = 0;
        for (const QString& l : lines())
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }

private:
    static LogCapture*& instance() {
        static LogCapture* current = nullptr;
        return current;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        LogCapture* self = instance();
        if (self && context.category && qstrcmp(context.category, self->m_category) == 0) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(message);
        }
        if (self && self->m_previous)
            self->m_previous(type, context, message);
    }

    const char* m_category;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};
