#include "sessions/JoinSessionDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

bool JoinSessionDialog::parse(const QString& text, Link* link) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return false;

    // The guest segment is "guest" followed by ";name=value" pairs, right after a "client" segment.
    const QStringList segments = url.path(QUrl::FullyEncoded).split(QLatin1Char('/'));
    int guest = -1;
    for (int i = 1; i < segments.size(); ++i) {
        if (segments.at(i - 1) == QLatin1String("client") &&
            segments.at(i).section(QLatin1Char(';'), 0, 0) == QLatin1String("guest")) {
            guest = i;
            break;
        }
    }
    if (guest < 0)
        return false;

    QString id;
    QString key;
    const auto readPairs = [&id, &key](const QStringList& pairs) {
        for (const QString& pair : pairs) {
            const int eq = pair.indexOf(QLatin1Char('='));
            if (eq < 0)
                continue;
            const QString name = pair.left(eq);
            const QString value = QUrl::fromPercentEncoding(pair.mid(eq + 1).toUtf8());
            if (name == QLatin1String("id"))
                id = value;
            else if (name == QLatin1String("key"))
                key = value;
        }
    };
    readPairs(segments.at(guest).split(QLatin1Char(';')).mid(1));
    // The same pairs may come as the query instead: "/client/guest?id=abc;key=xyz".
    if (id.isEmpty() && segments.at(guest) == QLatin1String("guest")) {
        key.clear();
        readPairs(url.query(QUrl::FullyEncoded).split(QRegularExpression(QStringLiteral("[;&]"))));
    }
    if (id.isEmpty())
        return false;

    if (link) {
        QUrl server = url;
        server.setPath(segments.mid(0, guest - 1).join(QLatin1Char('/')), QUrl::TolerantMode);
        server.setQuery(QString());
        server.setFragment(QString());
        link->serverUrl = server;
        link->sessionId = id;
        link->sharingKey = key;
    }
    return true;
}

JoinSessionDialog::JoinSessionDialog(QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("JoinSessionDialog"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowTitle(tr("Join Session"));
    resize(800, 100);

    auto* grid = new QGridLayout(this);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    auto* label = new QLabel(this);
    label->setObjectName(QStringLiteral("SharingUrlLabel"));
    label->setText(tr("<html><head/><body><p>Sharing Url<span style=\" color:#aa0000;\">*</span></p></body></html>"));
    m_url = new QLineEdit(this);
    m_url->setObjectName(QStringLiteral("SharingUrlLineEdit"));
    label->setBuddy(m_url);
    form->addRow(label, m_url);
    grid->addLayout(form, 0, 0);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("ButtonBox"));
    grid->addWidget(m_buttons, 3, 0);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(false);

    QMetaObject::connectSlotsByName(this);
}

JoinSessionDialog::Link JoinSessionDialog::current() const {
    Link link;
    parse(m_url->text(), &link);
    return link;
}

QUrl JoinSessionDialog::serverUrl() const {
    return current().serverUrl;
}

QString JoinSessionDialog::sessionId() const {
    return current().sessionId;
}

QString JoinSessionDialog::sharingKey() const {
    return current().sharingKey;
}

void JoinSessionDialog::done(int result) {
    // Ok does nothing on a text that is not a guest link.
    if (result == QDialog::Accepted && !parse(m_url->text(), nullptr))
        return;
    QDialog::done(result);
}

void JoinSessionDialog::on_SharingUrlLineEdit_textChanged() {
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(parse(m_url->text(), nullptr));
}
