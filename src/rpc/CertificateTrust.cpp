#include "rpc/CertificateTrust.h"

#include <QCryptographicHash>
#include <QSslCertificate>

bool CertificateTrust::accepts(const QList<QSslError>& errors) const {
    if (m_acceptAll)
        return true;
    if (errors.isEmpty())
        return false;
    for (const QSslError& e : errors) {
        // QSslError compares the error and its certificate.
        if (e.certificate().isNull() || !m_accepted.contains(e))
            return false;
    }
    return true;
}

void CertificateTrust::accept(const QList<QSslError>& errors) {
    for (const QSslError& e : errors) {
        if (!e.certificate().isNull() && !m_accepted.contains(e))
            m_accepted.append(e);
    }
}

QList<QByteArray> CertificateTrust::pinnedDigests() const {
    QList<QByteArray> digests;
    for (const QSslError& e : m_accepted) {
        const QByteArray d = e.certificate().digest(QCryptographicHash::Sha256);
        if (!digests.contains(d))
            digests.append(d);
    }
    return digests;
}
