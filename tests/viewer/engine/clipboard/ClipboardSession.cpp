#include "ClipboardSession.h"

#include "../controller/ControllerFixture.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QSignalSpy>
#include <QtTest>

namespace ClipboardTest {

Session::Session()
    : sim(ControllerTest::simOptions()) {}

Session::~Session() {
    master.reset();
}

bool Session::start(const QList<QByteArray>& capabilities, bool answer) {
    if (!sim.listen()) {
        qWarning("simulator: %s", qPrintable(sim.errorString()));
        return false;
    }
    master = ControllerTest::startMaster(sim);
    if (!ControllerTest::awaitSessionReady(sim)) {
        qWarning("the session did not reach its main sequence");
        return false;
    }
    // The controller sends the client's capabilities as soon as the channel opens.
    const auto own = clipboard.awaitMessage(DisplaySim::ClipboardMsg::Capabilities, Timeout);
    if (!own) {
        qWarning("the client sent no clipboard capabilities");
        return false;
    }
    m_taken = clipboard.received().size();
    if (!answer) {
        return true;
    }
    clipboard.sendCapabilities(capabilities);
    const auto formats = clipboard.awaitMessage(DisplaySim::ClipboardMsg::Formats, Timeout);
    reply = take();
    return formats.has_value();
}

bool Session::settle() {
    // A server setting reaches the controller through the GUI thread's queue behind the clipboard
    // messages sent before it.
    const int level = master->compressionLevel() % 7 + 1;
    QSignalSpy changed(master.get(), &RdpMaster::compressionLevelChanged);
    sim.sendSettings({DisplaySim::Entry::triple(DisplaySim::SettingTag::Compression, quint8(level), 0, 7)});
    QDeadlineTimer deadline(Timeout);
    while (changed.isEmpty() && !deadline.hasExpired()) {
        changed.wait(50);
    }
    if (changed.isEmpty()) {
        qWarning("the server's setting did not arrive");
        return false;
    }
    // A client setting goes out behind whatever the handlers sent.
    const QSize marker(4000 + ++m_markers, 1234);
    const QByteArray entry = DisplaySim::Entry::geometry(quint16(marker.width()), quint16(marker.height()));
    master->resizeDesktop(marker);
    const auto frame = sim.awaitFrame(
        [&entry](const DisplaySim::ClientFrame& f) {
            if (f.channel != 0 || f.messageId != DisplaySim::Msg::Settings) {
                return false;
            }
            QList<QByteArray> entries;
            DisplaySim::FrameReader r = f.fields();
            return r.blobList(entries) && entries.contains(entry);
        },
        Timeout);
    if (!frame) {
        qWarning("the client's marker did not arrive");
        return false;
    }
    return true;
}

QList<DisplaySim::ClipboardMessage> Session::take() {
    const QList<DisplaySim::ClipboardMessage> all = clipboard.received();
    const QList<DisplaySim::ClipboardMessage> fresh = all.mid(m_taken);
    m_taken = all.size();
    return fresh;
}

std::shared_ptr<VnClipboardChannel> Session::channel() const {
    if (!master || !master->connection()) {
        return {};
    }
    return std::dynamic_pointer_cast<VnClipboardChannel>(
        master->connection()->channel(QStringLiteral("clipboard")));
}

bool isAnnouncement(const DisplaySim::ClipboardMessage& m, quint8 clipboardId) {
    return m.id == DisplaySim::ClipboardMsg::Formats && m.clipboardId == clipboardId &&
           m.formats == QList<QByteArray>{TextPlain};
}

namespace {

QMutex warningsMutex;
QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void recordThreadWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg &&
        message.contains(QLatin1String("thread"), Qt::CaseInsensitive)) {
        QMutexLocker lock(&warningsMutex);
        warnings << message;
    }
    if (previousHandler) {
        previousHandler(type, context, message);
    }
}

} // namespace

void watchThreadWarnings() {
    previousHandler = qInstallMessageHandler(recordThreadWarnings);
}

QStringList threadWarnings() {
    QMutexLocker lock(&warningsMutex);
    return warnings;
}

} // namespace ClipboardTest
