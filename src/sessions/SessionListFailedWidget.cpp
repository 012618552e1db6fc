#include "sessions/SessionListFailedWidget.h"

#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpacerItem>

SessionListFailedWidget::SessionListFailedWidget(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("SessionListFailedWidget"));
    resize(815, 591);
    setWindowTitle(tr("Session Failed"));
    auto* grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));

    m_reason = new QLabel(this);
    m_reason->setObjectName(QStringLiteral("ReasonLabel"));
    m_reason->setTextFormat(Qt::PlainText);
    m_reason->setWordWrap(true);
    grid->addWidget(m_reason, 1, 0);
    m_details = new QLabel(this);
    m_details->setObjectName(QStringLiteral("DetailsLabel"));
    m_details->setTextFormat(Qt::PlainText);
    m_details->setWordWrap(true);
    grid->addWidget(m_details, 2, 0);

    grid->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 3, 0);
    m_reconnectButton = new QPushButton(tr("Reconnect"), this);
    m_reconnectButton->setObjectName(QStringLiteral("ReconnectButton"));
    m_reconnectButton->setDefault(true);
    m_reconnectButton->setAutoDefault(true);
    grid->addWidget(m_reconnectButton, 3, 2);
    m_closeButton = new QPushButton(tr("Close"), this);
    m_closeButton->setObjectName(QStringLiteral("CloseButton"));
    grid->addWidget(m_closeButton, 3, 3);
    grid->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 3, 5);

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("LogTextEdit"));
    m_log->setReadOnly(true);
    m_log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                   Qt::LinksAccessibleByKeyboard);
    grid->addWidget(m_log, 4, 0, 1, 6);

    setTabOrder(m_reconnectButton, m_closeButton);
    m_reconnectButton->setFocus();

    connect(m_reconnectButton, &QPushButton::clicked, this, [this] { emit reconnect(m_connectionJson); });
    connect(m_closeButton, &QPushButton::clicked, this, &SessionListFailedWidget::done);
}

void SessionListFailedWidget::setReason(const QString& text) {
    m_reason->setText(text);
}

void SessionListFailedWidget::setDetails(const QString& text) {
    m_details->setText(text);
}

void SessionListFailedWidget::setLog(const QString& text) {
    m_log->setPlainText(text);
}

void SessionListFailedWidget::focusReconnect() {
    m_reconnectButton->setFocus(Qt::OtherFocusReason);
}
