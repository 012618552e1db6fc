#include "ControllerFixture.h"

#include <QDeadlineTimer>
#include <QtTest>

namespace ControllerTest {

PrivateSettings::PrivateSettings() {
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

QStringList PrivateSettings::allKeys() const {
    QSettings settings;
    return settings.allKeys();
}

DisplaySim::ServerOptions simOptions() {
    DisplaySim::ServerOptions options;
    options.autoOpenChannels = true;
    options.capabilities << DisplaySim::Entry::password();
    return options;
}

std::unique_ptr<RdpMaster> startMaster(const DisplaySim::Server& sim, const QString& geometry,
                                       const QString& realHost, const QString& windowTitle) {
    return std::make_unique<RdpMaster>(QList<QNetworkRequest>{QNetworkRequest(sim.url())},
                                       QNetworkProxy(QNetworkProxy::NoProxy), QStringLiteral("tester"),
                                       QStringLiteral("secret"), geometry, windowTitle, false,
                                       QStringLiteral("session-1"), realHost);
}

bool awaitSessionReady(DisplaySim::Server& sim, int channels) {
    if (!sim.awaitMainSequence(10000)) {
        return false;
    }
    QDeadlineTimer deadline(10000);
    while (sim.record().channelRequests.size() < channels && !deadline.hasExpired()) {
        QTest::qWait(5);
    }
    return sim.record().channelRequests.size() == channels;
}

namespace {

// The session window sends its own desktop size whenever it is shown or resized; those messages are
// not what the tests look at.
QList<QList<QByteArray>> relevantSettings(const QList<QList<QByteArray>>& messages,
                                          const QList<QByteArray>& marker) {
    QList<QList<QByteArray>> relevant;
    for (const QList<QByteArray>& message : messages) {
        const bool windowSize = message != marker && message.size() == 1 && !message.first().isEmpty() &&
                                quint8(message.first().at(0)) == DisplaySim::SettingTag::Geometry;
        if (!windowSize) {
            relevant.append(message);
        }
    }
    return relevant;
}

} // namespace

QList<QList<QByteArray>> settingsSentBy(DisplaySim::Server& sim, RdpMaster& master,
                                        const std::function<void()>& action) {
    const int before = sim.record().clientSettings.size();
    action();
    const QSize marker(4321, 1234);
    master.resizeDesktop(marker);
    const QList<QByteArray> markerMessage{DisplaySim::Entry::geometry(4321, 1234)};
    QDeadlineTimer deadline(10000);
    const auto arrived = [&] {
        const auto relevant = relevantSettings(sim.record().clientSettings.mid(before), markerMessage);
        return !relevant.isEmpty() && relevant.constLast() == markerMessage;
    };
    while (!deadline.hasExpired() && !arrived()) {
        QTest::qWait(5);
    }
    const QList<QList<QByteArray>> all =
        relevantSettings(sim.record().clientSettings.mid(before), markerMessage);
    if (all.isEmpty() || all.constLast() != markerMessage) {
        return {{QByteArray("marker never arrived")}};
    }
    return all.mid(0, all.size() - 1);
}

} // namespace ControllerTest
