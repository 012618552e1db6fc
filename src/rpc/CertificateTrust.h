#pragma once

#include <QByteArray>
#include <QList>
#include <QSslError>

// Which untrusted server certificates one connection accepts: all of them (the connection is set to
// ignore certificate errors), or exactly the errors the user accepted, each tied to its certificate.
// A different certificate, or another error on the same one, is not accepted and must be asked about.
class CertificateTrust {
public:
    explicit CertificateTrust(bool acceptAll = false)
        : m_acceptAll(acceptAll) {}

    bool acceptsAll() const { return m_acceptAll; }
    // True when every error is accepted; an empty list is not a question and is not accepted.
    bool accepts(const QList<QSslError>& errors) const;
    // Pins the errors' certificates with these errors. Errors without a certificate are not kept.
    void accept(const QList<QSslError>& errors);

    QList<QSslError> acceptedErrors() const { return m_accepted; }
    // SHA-256 digests of the accepted certificates.
    QList<QByteArray> pinnedDigests() const;

private:
    bool m_acceptAll = false;
    QList<QSslError> m_accepted;
};
