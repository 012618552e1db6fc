#pragma once

#include <QByteArray>
#include <QString>

// A self-signed EC certificate for 127.0.0.1 and localhost, made with the openssl command for the test
// peers' TLS. On failure both PEM fields are empty and `error` says why.
struct TestCertificatePem {
    QByteArray certificatePem;
    QByteArray keyPem;
    QString error;
};
TestCertificatePem makeTestCertificate(const QString& subject);
