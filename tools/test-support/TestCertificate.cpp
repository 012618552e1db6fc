#include "TestCertificate.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

TestCertificatePem makeTestCertificate(const QString& subject) {
    TestCertificatePem pair;
    QTemporaryDir dir;
    if (!dir.isValid()) {
        pair.error = QStringLiteral("no temporary directory");
        return pair;
    }
    const QString cert = dir.filePath(QStringLiteral("cert.pem"));
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert, QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), subject, QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")});
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        pair.error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAll());
        return pair;
    }
    QFile certFile(cert), keyFile(key);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        pair.error = QStringLiteral("openssl wrote no certificate");
        return pair;
    }
    pair.certificatePem = certFile.readAll();
    pair.keyPem = keyFile.readAll();
    return pair;
}
