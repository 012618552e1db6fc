// Reads one input as a connection file in the user folder, the way start-up fills the list.
//
// Checks: reading ends whatever the bytes; the file is either listed as one row or named as skipped;
// the row's rich text carries no markup but its own (name and address escaped); and both kinds make
// the same connection of their own JSON form again, whatever the file's "type" says. Nothing is
// written outside the target's temporary folder.

#include "FuzzFolder.h"

#include "connections/ConnectionModel.h"
#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <QJsonDocument>

namespace {

template <typename Kind>
void roundTrip(const QJsonObject& object) {
    Kind first;
    first.fromJson(object);
    const QJsonObject json = first.toJson();
    Kind second;
    second.fromJson(json);
    check(second.toJson() == json);
    check(second.url() == first.url());
    check(second.description() == first.description());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFolder& folder = FuzzFolder::instance();
    const QString user = folder.path(QStringLiteral("user"));
    check(QDir().mkpath(user));
    const QString path = folder.writeInput(QStringLiteral("user/input.velnor"), data, size);

    ConnectionModel model(user, QString(), {QStringLiteral("name")});
    if (model.rowCount() == 1) {
        const QModelIndex row = model.index(0, 0);
        const QString text = row.data(Qt::DisplayRole).toString();
        check(text.startsWith(QLatin1String("<b>")) && text.count(QLatin1Char('<')) == 3 &&
              text.count(QLatin1String("</b><br/>")) == 1);
        check(row.data(Qt::ToolTipRole).toString() ==
              row.data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>()->description());
        check(model.skippedFiles().isEmpty());
    } else {
        check(model.rowCount() == 0);
        check(model.skippedFiles() == QStringList{path});
    }

    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    if (document.isObject()) {
        roundTrip<HttpsConnection>(document.object());
        roundTrip<SshConnection>(document.object());
    }
    folder.checkOnly({QStringLiteral("user")});
    check(QDir(user).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot) ==
          QStringList{QStringLiteral("input.velnor")});
    return 0;
}
