// Imports one input as an older XML connection file, as the first start and File > Import do, and
// reads the result back as the list would.
//
// Checks: the import ends whatever the bytes; a read without error gives a connection object that
// is saved as exactly one ".velnor" file in the destination folder, which the store then lists or
// names as skipped; nothing is written outside the target's temporary folder.

#include "FuzzFolder.h"

#include "connections/ConnectionImporter.h"
#include "connections/ConnectionModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFolder& folder = FuzzFolder::instance();
    const QString old = folder.writeInput(QStringLiteral("old.xml"), data, size);
    const QString destination = folder.path(QStringLiteral("MyConnections"));
    // Each input starts from an empty folder, so its numbering never grows.
    check(QDir(destination).removeRecursively());
    check(QDir().mkpath(destination));

    ConnectionImporter importer;
    const QJsonObject json = importer.read(old);
    check(importer.hasError() != importer.errorString().isEmpty());
    if (!importer.hasError()) {
        check(json.contains(QLatin1String("type")));
        check(importer.save(json, destination));
        check(!importer.hasError());
        const QStringList written =
            QDir(destination)
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        check(written.size() == 1 && written.first().endsWith(QLatin1String(".velnor")));
        const ConnectionModel model(destination, QString(), {QStringLiteral("name")});
        check(model.rowCount() + model.skippedFiles().size() == 1);
    }
    folder.checkOnly({QStringLiteral("old.xml"), QStringLiteral("MyConnections")});
    return 0;
}
