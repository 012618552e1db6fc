#include "viewer/widgets/RdpWidgetToolbar.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QPushButton>
#include <QVariant>

// The resource initialiser must be called from outside any namespace.
static void initResourcesOnce() {
    static const bool done = [] {
        Q_INIT_RESOURCE(RdpWidgetResources);
        return true;
    }();
    Q_UNUSED(done);
}

void initRdpWidgetResources() {
    initResourcesOnce();
}

namespace {

const char* const toolbarStyle =
    "QPushButton[myFlat=\"true\"] { border: none; padding: 3px; }\n"
    "QPushButton[myFlat=\"true\"]::menu-indicator { image: none; width: 0px; }\n"
    "QPushButton[myFlat=\"true\"]:hover { border: 1px outset grey; border-radius: 2px; }\n"
    "QPushButton[myFlat=\"true\"]:pressed { background-color: rgb(96, 96, 96); }\n";

} // namespace

RdpWidgetToolbar::RdpWidgetToolbar(QWidget* parent)
    : QWidget(parent) {
    initRdpWidgetResources();
    setObjectName(QStringLiteral("RdpWidgetToolbar"));
    resize(318, 56);
    setStyleSheet(QString::fromLatin1(toolbarStyle));

    auto* grid = new QGridLayout(this);
    grid->setSpacing(0);
    grid->setContentsMargins(0, 0, 0, 0);
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("frame"));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Raised);
    frame->setLineWidth(2);
    grid->addWidget(frame, 0, 0);
    auto* row = new QHBoxLayout(frame);
    row->setObjectName(QStringLiteral("horizontalLayout"));

    auto* disconnectButton =
        addButton("DisconnectButton", ":/fontawesome/pause.svg", false, tr("Disconnect the session."));
    resizeButton = addButton("ResizeButton", ":/fontawesome/resize.svg", true, tr("Toggle resize mode."));
    fullScreenButton =
        addButton("FullScreenButton", ":/fontawesome/fullscreen.svg", true, tr("Toggle fullscreen mode."));
    auto* optionsButton =
        addButton("OptionsButton", ":/fontawesome/settings.svg", false, tr("Adjust session settings."));
    auto* diagnosticsButton =
        addButton("DiagnosticsButton", ":/fontawesome/chart-area.svg", true, tr("Show diagnostics."));
    auto* sharingButton = addButton("SharingButton", ":/fontawesome/users.svg", false, tr("Share Session"));
    for (QPushButton* button :
         {disconnectButton, resizeButton, fullScreenButton, optionsButton, diagnosticsButton, sharingButton})
        row->addWidget(button);
    diagnosticsButton->setVisible(qEnvironmentVariableIsSet("VN_DIAGNOSTICS"));

    connect(disconnectButton, &QPushButton::clicked, this, [this] { emit clickedDisconnect(); });
    connect(resizeButton, &QPushButton::clicked, this, &RdpWidgetToolbar::clickedResize);
    connect(fullScreenButton, &QPushButton::clicked, this, &RdpWidgetToolbar::clickedFullScreen);
    connect(optionsButton, &QPushButton::clicked, this, [this] { emit clickedOptions(); });
    connect(diagnosticsButton, &QPushButton::clicked, this, &RdpWidgetToolbar::clickedDiagnostics);
    connect(sharingButton, &QPushButton::clicked, this, [this] { emit clickedSharing(); });
}

QPushButton* RdpWidgetToolbar::addButton(const char* name, const char* icon, bool checkable,
                                         const QString& toolTip) {
    auto* button = new QPushButton(this);
    button->setObjectName(QLatin1String(name));
    button->setProperty("myFlat", true);
    button->setFlat(true);
    // A click must leave the keyboard with the remote desktop; a focused button would take the keys
    // typed next, and Space would press it again.
    button->setFocusPolicy(Qt::NoFocus);
    button->setCheckable(checkable);
    button->setToolTip(toolTip);
    button->setIcon(QIcon(QLatin1String(icon)));
    button->setIconSize(QSize(24, 24));
    return button;
}

bool RdpWidgetToolbar::isResizeChecked() const {
    return resizeButton->isChecked();
}

void RdpWidgetToolbar::setResizeChecked(bool checked) {
    resizeButton->setChecked(checked);
}

void RdpWidgetToolbar::setResizeEnabled(bool enabled) {
    resizeButton->setEnabled(enabled);
}

void RdpWidgetToolbar::setFullScreenChecked(bool checked) {
    fullScreenButton->setChecked(checked);
}
