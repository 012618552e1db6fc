#include "viewer/widgets/RdpOptionsWidget.h"

#include "viewer/engine/RdpInstance.h"
#include "viewer/widgets/RdpMapping.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QSlider>
#include <QToolBox>
#include <QVBoxLayout>

namespace {

struct Item {
    const char* text;
    int data;
};

const Item dpiItems[] = {{QT_TRANSLATE_NOOP("RdpOptionsWidget", "Automatic"), 0},
                         {QT_TRANSLATE_NOOP("RdpOptionsWidget", "Server"), -1},
                         {"96", 96},
                         {"120", 120},
                         {"160", 160},
                         {"240", 240},
                         {"320", 320},
                         {"480", 480},
                         {"640", 640}};

const Item blockSizeItems[] = {{"64x64", 64},    {"128x128", 128}, {"192x192", 192},
                               {"256x256", 256}, {"512x512", 512}, {"1024x1024", 1024}};

const Item codecItems[] = {{"RFX", 2}, {"RFX Progressive", 7}, {"JPEG", 3}, {"PNG", 4}, {"GIF", 5},
                           {"WebP", 6}};

constexpr int progressiveCodec = 7;

// Shows the entry carrying `data`; none when the list has no such entry, so that a value the list
// cannot show never looks like another one.
void selectData(QComboBox* box, int data) {
    box->setCurrentIndex(box->findData(data));
}

QSlider* makeSlider(QWidget* parent, const char* name, int minimum, int maximum, int value) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(QLatin1String(name));
    slider->setRange(minimum, maximum);
    slider->setPageStep(1);
    slider->setValue(value);
    return slider;
}

template <typename T>
T* named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

} // namespace

RdpOptionsWidget::RdpOptionsWidget(RdpInstance* instance, QWidget* parent)
    : QWidget(parent)
    , instance(instance) {
    setWindowFlags(windowFlags() & ~Qt::WindowFullscreenButtonHint);
    buildForm();

    SettingsToolBox->setCurrentIndex(instance && instance->networkType().isEmpty() ? 0 : 3);

    for (const Item& item : dpiItems) {
        DPIBox->addItem(tr(item.text), item.data);
    }
    if (instance && instance->isSingleApplication()) {
        CaptureKeysBox->hide();
        CurrentMonitorBox->hide();
    }
    SendCommandKeyBox->hide();
    CommandSendsAltBox->hide();

    if (instance) {
        followSession();
        loadFromSession();
    }
}

RdpOptionsWidget::~RdpOptionsWidget() = default;

void RdpOptionsWidget::buildForm() {
    setObjectName(QStringLiteral("RdpOptionsWidget"));
    resize(550, 627);
    auto* layout = new QVBoxLayout(this);

    label = named(new QLabel(tr("Performance Settings"), this), "label");
    PerformanceSettingsComboBox = named(new QComboBox(this), "PerformanceSettingsComboBox");
    SettingsToolBox = named(new QToolBox(this), "SettingsToolBox");
    ButtonBox = named(new QDialogButtonBox(QDialogButtonBox::Close, this), "ButtonBox");
    layout->addWidget(label);
    layout->addWidget(PerformanceSettingsComboBox);
    layout->addWidget(SettingsToolBox, 1);
    layout->addWidget(ButtonBox);
    connect(ButtonBox, &QDialogButtonBox::accepted, this, &QWidget::close);
    connect(ButtonBox, &QDialogButtonBox::rejected, this, &QWidget::close);

    // Image
    auto* page1 = named(new QWidget(SettingsToolBox), "SettingsToolBoxPage1");
    auto* grid1 = new QGridLayout(page1);
    QualityLabel = named(new QLabel(tr("Prioritize:"), page1), "QualityLabel");
    auto* bandwidthLabel = named(new QLabel(tr("Bandwidth"), page1), "label_3");
    auto* qualityEndLabel = named(new QLabel(tr("Image Quality"), page1), "label_2");
    QualitySlider = makeSlider(page1, "QualitySlider", 1, 5, 5);
    QualitySlider->setTickPosition(QSlider::TicksAbove);
    BigBlockCodecBox = named(new QComboBox(page1), "BigBlockCodecBox");
    DPIBox = named(new QComboBox(page1), "DPIBox");
    DrawImmediatelyBox =
        named(new QCheckBox(tr("Draw window updates immediately"), page1), "DrawImmediatelyBox");
    HighQualityUpgradesBox =
        named(new QCheckBox(tr("Enable high quality image upgrades"), page1), "HighQualityUpgradesBox");
    ScaleLabel = named(new QLabel(tr("Zoom: 1x"), page1), "ScaleLabel");
    ScaleSlider = makeSlider(page1, "ScaleSlider", 0, int(zoomTable.size()) - 1, 4);
    ScaleSlider->setTickPosition(QSlider::TicksAbove);
    ScaleSlider->setInvertedControls(true);
    int row = 0;
    grid1->addWidget(QualityLabel, row++, 0, 1, 3);
    grid1->addWidget(bandwidthLabel, row, 0);
    grid1->addWidget(QualitySlider, row, 1);
    grid1->addWidget(qualityEndLabel, row++, 2);
    grid1->addWidget(named(new QLabel(tr("Image format"), page1), "BigBlockCodecLabel"), row, 0);
    grid1->addWidget(BigBlockCodecBox, row++, 1, 1, 2);
    grid1->addWidget(named(new QLabel(tr("DPI"), page1), "DPILabel"), row, 0);
    grid1->addWidget(DPIBox, row++, 1, 1, 2);
    grid1->addWidget(DrawImmediatelyBox, row++, 0, 1, 3);
    grid1->addWidget(HighQualityUpgradesBox, row++, 0, 1, 3);
    grid1->addWidget(ScaleLabel, row++, 0, 1, 3);
    grid1->addWidget(ScaleSlider, row++, 0, 1, 3);
    grid1->setRowStretch(row, 1);
    SettingsToolBox->addItem(page1, tr("Image"));

    // Advanced
    auto* page2 = named(new QWidget(SettingsToolBox), "SettingsToolBoxPage2");
    auto* grid2 = new QGridLayout(page2);
    AutomaticAdjustBox =
        named(new QCheckBox(tr("Automatically adjust network settings"), page2), "AutomaticAdjustBox");
    FpsLabel = named(new QLabel(tr("Frame Rate: %1 fps").arg(60), page2), "FpsLabel");
    FpsSlider = makeSlider(page2, "FpsSlider", 1, 60, 60);
    FrameAckLabel = named(new QLabel(tr("Frame Window Size: %1 frames").arg(1), page2), "FrameAckLabel");
    FrameAckSlider = makeSlider(page2, "FrameAckSlider", 1, 60, 1);
    SmallBlockCodecBox = named(new QComboBox(page2), "SmallBlockCodecBox");
    BigBlockSizeBox = named(new QComboBox(page2), "BigBlockSizeBox");
    row = 0;
    grid2->addWidget(AutomaticAdjustBox, row++, 0, 1, 2);
    grid2->addWidget(FpsLabel, row++, 0, 1, 2);
    grid2->addWidget(FpsSlider, row++, 0, 1, 2);
    grid2->addWidget(FrameAckLabel, row++, 0, 1, 2);
    grid2->addWidget(FrameAckSlider, row++, 0, 1, 2);
    grid2->addWidget(named(new QLabel(tr("Hi Res image format"), page2), "SmallBlockCodecLabel"), row, 0);
    grid2->addWidget(SmallBlockCodecBox, row++, 1);
    grid2->addWidget(named(new QLabel(tr("Hi Res maximum size"), page2), "BigBlockSizeLabel"), row, 0);
    grid2->addWidget(BigBlockSizeBox, row++, 1);
    grid2->setRowStretch(row, 1);
    SettingsToolBox->addItem(page2, tr("Advanced"));

    // Misc
    auto* page3 = named(new QWidget(SettingsToolBox), "SettingsToolBoxPage3");
    auto* box3 = new QVBoxLayout(page3);
    CurrentMonitorBox =
        named(new QCheckBox(tr("Full screen to current monitor"), page3), "CurrentMonitorBox");
    CaptureKeysBox = named(new QCheckBox(tr("Capture all keystrokes"), page3), "CaptureKeysBox");
    HandlePrimarySelectionBox =
        named(new QCheckBox(tr("Handle primary clipboard selection"), page3), "HandlePrimarySelectionBox");
    SendCommandKeyBox = named(new QCheckBox(tr("Send command key"), page3), "SendCommandKeyBox");
    CommandSendsAltBox = named(new QCheckBox(tr("Command key sends Alt"), page3), "CommandSendsAltBox");
    for (QCheckBox* box : {CurrentMonitorBox, CaptureKeysBox, HandlePrimarySelectionBox, SendCommandKeyBox,
                           CommandSendsAltBox}) {
        box3->addWidget(box);
    }
    box3->addStretch(1);
    SettingsToolBox->addItem(page3, tr("Misc"));

    SettingsToolBox->addItem(named(new QWidget(SettingsToolBox), "widget"), QString());

    connect(FpsSlider, &QSlider::valueChanged, this,
            [this](int value) { FpsLabel->setText(tr("Frame Rate: %1 fps").arg(value)); });
    connect(FrameAckSlider, &QSlider::valueChanged, this,
            [this](int value) { FrameAckLabel->setText(tr("Frame Window Size: %1 frames").arg(value)); });
    connect(ScaleSlider, &QSlider::valueChanged, this,
            [this](int value) { ScaleLabel->setText(tr("Zoom: %1").arg(zoomLabel(value))); });

    connect(AutomaticAdjustBox, &QCheckBox::clicked, this, &RdpOptionsWidget::on_AutomaticAdjustBox_clicked);
    connect(HighQualityUpgradesBox, &QCheckBox::clicked, this,
            &RdpOptionsWidget::on_HighQualityUpgradesBox_clicked);
    connect(DrawImmediatelyBox, &QCheckBox::clicked, this, &RdpOptionsWidget::on_DrawImmediatelyBox_clicked);
    connect(DPIBox, QOverload<int>::of(&QComboBox::activated), this, &RdpOptionsWidget::on_DPIBox_activated);
    connect(SmallBlockCodecBox, QOverload<int>::of(&QComboBox::activated), this,
            &RdpOptionsWidget::on_SmallBlockCodecBox_activated);
    connect(BigBlockCodecBox, QOverload<int>::of(&QComboBox::activated), this,
            &RdpOptionsWidget::on_BigBlockCodecBox_activated);
    connect(BigBlockSizeBox, QOverload<int>::of(&QComboBox::activated), this,
            &RdpOptionsWidget::on_BigBlockSizeBox_activated);
    connect(QualitySlider, &QSlider::actionTriggered, this,
            &RdpOptionsWidget::on_QualitySlider_actionTriggered);
    connect(FpsSlider, &QSlider::actionTriggered, this, &RdpOptionsWidget::on_FpsSlider_actionTriggered);
    connect(FrameAckSlider, &QSlider::actionTriggered, this,
            &RdpOptionsWidget::on_FrameAckSlider_actionTriggered);
    connect(ScaleSlider, &QSlider::actionTriggered, this, &RdpOptionsWidget::on_ScaleSlider_actionTriggered);
    connect(QualitySlider, &QSlider::sliderReleased, this,
            &RdpOptionsWidget::on_QualitySlider_sliderReleased);
    connect(FpsSlider, &QSlider::sliderReleased, this, &RdpOptionsWidget::on_FpsSlider_sliderReleased);
    connect(FrameAckSlider, &QSlider::sliderReleased, this,
            &RdpOptionsWidget::on_FrameAckSlider_sliderReleased);
    connect(ScaleSlider, &QSlider::sliderReleased, this, &RdpOptionsWidget::on_ScaleSlider_sliderReleased);
    connect(PerformanceSettingsComboBox, QOverload<int>::of(&QComboBox::activated), this,
            &RdpOptionsWidget::on_PerformanceSettingsComboBox_activated);
    connect(CaptureKeysBox, &QCheckBox::clicked, this, &RdpOptionsWidget::on_CaptureKeysBox_clicked);
    connect(SendCommandKeyBox, &QCheckBox::clicked, this, &RdpOptionsWidget::on_SendCommandKeyBox_clicked);
    connect(CommandSendsAltBox, &QCheckBox::clicked, this, &RdpOptionsWidget::on_CommandSendsAltBox_clicked);
    connect(CurrentMonitorBox, &QCheckBox::clicked, this, &RdpOptionsWidget::on_CurrentMonitorBox_clicked);
    connect(HandlePrimarySelectionBox, &QCheckBox::clicked, this,
            &RdpOptionsWidget::on_HandlePrimarySelectionBox_clicked);
}

void RdpOptionsWidget::followSession() {
    RdpInstance* session = instance;
    connect(session, &RdpInstance::adjustsAutomaticallyChanged, AutomaticAdjustBox, &QCheckBox::setChecked);
    connect(session, &RdpInstance::supportedCodecsChanged, this, &RdpOptionsWidget::setSupportedCodecs);
    connect(session, &RdpInstance::smallBlockImageFormatChanged, this,
            [this](uchar codec) { selectData(SmallBlockCodecBox, codec); });
    connect(session, &RdpInstance::bigBlockImageFormatChanged, this,
            [this](uchar codec) { selectData(BigBlockCodecBox, codec); });
    connect(session, &RdpInstance::bigBlockMinimumSizeChanged, this,
            [this](int width, int) { selectData(BigBlockSizeBox, width); });
    connect(session, &RdpInstance::dpiChanged, this, [this](int dpi) { selectData(DPIBox, dpi); });
    connect(session, &RdpInstance::compressionLevelChanged, QualitySlider, &QSlider::setValue);
    connect(session, &RdpInstance::framesPerSecondChanged, FpsSlider, &QSlider::setValue);
    connect(session, &RdpInstance::frameWindowSizeChanged, FrameAckSlider, &QSlider::setValue);
    connect(session, &RdpInstance::scalingFactorChanged, this, &RdpOptionsWidget::showScalingFactor);
    connect(session, &RdpInstance::capturesKeysChanged, CaptureKeysBox, &QCheckBox::setChecked);
    connect(session, &RdpInstance::sendCommandKeyChanged, SendCommandKeyBox, &QCheckBox::setChecked);
    connect(session, &RdpInstance::commandSendsAltChanged, CommandSendsAltBox, &QCheckBox::setChecked);
    connect(session, &RdpInstance::fullScreensOnCurrentMonitorChanged, CurrentMonitorBox,
            &QCheckBox::setChecked);
    connect(session, &RdpInstance::handlePrimarySelectionChanged, HandlePrimarySelectionBox,
            &QCheckBox::setChecked);
    connect(session, &RdpInstance::drawImmediatelyChanged, DrawImmediatelyBox, &QCheckBox::setChecked);
    connect(session, &RdpInstance::highQualityUpgradesChanged, HighQualityUpgradesBox,
            &QCheckBox::setChecked);
    connect(session, &RdpInstance::networkTypesChanged, this, &RdpOptionsWidget::setNetworkTypes);
    connect(session, &RdpInstance::networkTypeChanged, this, &RdpOptionsWidget::selectNetworkType);
    // A later session of the same instance starts with its own values.
    connect(session, &RdpInstance::runningChanged, this, [this](bool running) {
        if (running) {
            loadFromSession();
        }
    });
}

void RdpOptionsWidget::loadFromSession() {
    RdpInstance* session = instance;
    setSupportedCodecs(session->supportedCodecs());
    setBigBlockSizes();
    AutomaticAdjustBox->setChecked(session->adjustsAutomatically());
    selectData(SmallBlockCodecBox, session->smallBlockImageFormat());
    selectData(BigBlockCodecBox, session->bigBlockImageFormat());
    selectData(BigBlockSizeBox, session->bigBlockMinimumSize());
    selectData(DPIBox, session->dpi());
    QualitySlider->setValue(session->compressionLevel());
    FpsSlider->setValue(session->framePerSecond());
    FrameAckSlider->setValue(session->frameWindowSize());
    showScalingFactor(session->scalingFactor());
    CaptureKeysBox->setChecked(session->capturesKeys());
    SendCommandKeyBox->setChecked(session->sendCommandKey());
    CommandSendsAltBox->setChecked(session->commandSendsAlt());
    CurrentMonitorBox->setChecked(session->fullScreensOnCurrentMonitor());
    HandlePrimarySelectionBox->setChecked(session->handlePrimarySelection());
    DrawImmediatelyBox->setChecked(session->drawImmediately());
    HighQualityUpgradesBox->setChecked(session->highQualityUpgrades());
    setNetworkTypes(session->networkTypes());
}

void RdpOptionsWidget::showScalingFactor(double factor) {
    // The session keeps table factors only; anything else (no session: 0) shows as its nearest row.
    ScaleSlider->setValue(zoomIndex(nearestZoomFactor(factor)));
}

void RdpOptionsWidget::setNetworkTypes(const QJsonArray& types) {
    PerformanceSettingsComboBox->clear();
    for (const QJsonValue& type : types) {
        const QJsonObject object = type.toObject();
        PerformanceSettingsComboBox->addItem(object.value(QStringLiteral("name")).toString(), object);
    }
    selectNetworkType(instance ? instance->networkType() : QString());
}

void RdpOptionsWidget::selectNetworkType(const QString& id) {
    const int count = PerformanceSettingsComboBox->count();
    if (id.isEmpty()) {
        // An entry without an id is never the session's preset; an empty network type is "Custom".
        PerformanceSettingsComboBox->setCurrentIndex(count - 1);
        return;
    }
    for (int index = 0; index < count; ++index) {
        const QJsonObject object = PerformanceSettingsComboBox->itemData(index).toJsonObject();
        const QJsonValue entryId = object.value(QStringLiteral("_id"));
        if (entryId.isString() && entryId.toString() == id) {
            PerformanceSettingsComboBox->setCurrentIndex(index);
            return;
        }
    }
}

void RdpOptionsWidget::switchToCustom() {
    PerformanceSettingsComboBox->setCurrentIndex(PerformanceSettingsComboBox->count() - 1);
    if (instance) {
        instance->setNetworkType(QString());
    }
}

void RdpOptionsWidget::setSupportedCodecs(const QSet<Protocol::Byte>& ids) {
    BigBlockCodecBox->clear();
    SmallBlockCodecBox->clear();
    for (const Item& codec : codecItems) {
        if (!ids.contains(Protocol::Byte(codec.data))) {
            continue;
        }
        BigBlockCodecBox->addItem(QString::fromLatin1(codec.text), codec.data);
        if (codec.data != progressiveCodec) {
            SmallBlockCodecBox->addItem(QString::fromLatin1(codec.text), codec.data);
        }
    }
    // Refilled lists start on their first entry; show the session's formats instead.
    if (instance) {
        selectData(BigBlockCodecBox, instance->bigBlockImageFormat());
        selectData(SmallBlockCodecBox, instance->smallBlockImageFormat());
    }
}

void RdpOptionsWidget::setBigBlockSizes() {
    BigBlockSizeBox->clear();
    for (const Item& size : blockSizeItems) {
        BigBlockSizeBox->addItem(QString::fromLatin1(size.text), size.data);
    }
}

void RdpOptionsWidget::disconnectFromSession() {
    if (instance) {
        emit instance->wantsToQuit();
    }
}

void RdpOptionsWidget::showOptionsWidget() {
    if (instance) {
        emit instance->wantsToShowOptions();
    }
}

void RdpOptionsWidget::on_AutomaticAdjustBox_clicked(bool checked) {
    if (instance) {
        instance->setAdjustsAutomatically(checked);
    }
    switchToCustom();
}

void RdpOptionsWidget::on_HighQualityUpgradesBox_clicked(bool checked) {
    if (instance) {
        instance->setHighQualityUpgrades(checked);
    }
    // Leaving the preset for real: a list showing "Custom" over a kept preset would put the preset's
    // value back at the next start.
    switchToCustom();
}

void RdpOptionsWidget::on_DrawImmediatelyBox_clicked(bool checked) {
    if (instance) {
        instance->setDrawImmediately(checked);
    }
    switchToCustom();
}

void RdpOptionsWidget::on_DPIBox_activated(int index) {
    if (instance && index >= 0) {
        instance->setDpi(DPIBox->itemData(index).toInt());
    }
    switchToCustom();
}

void RdpOptionsWidget::on_SmallBlockCodecBox_activated(int index) {
    if (instance && index >= 0) {
        instance->setSmallBlockImageFormat(uchar(SmallBlockCodecBox->itemData(index).toInt()));
    }
    switchToCustom();
}

void RdpOptionsWidget::on_BigBlockCodecBox_activated(int index) {
    if (instance && index >= 0) {
        instance->setBigBlockImageFormat(uchar(BigBlockCodecBox->itemData(index).toInt()));
    }
    switchToCustom();
}

void RdpOptionsWidget::on_BigBlockSizeBox_activated(int index) {
    if (instance && index >= 0) {
        instance->setBigBlockMinimumSize(BigBlockSizeBox->itemData(index).toInt());
    }
    switchToCustom();
}

// While an action runs the slider's position is already the new one; its value follows afterwards.
void RdpOptionsWidget::on_QualitySlider_actionTriggered(int) {
    if (instance) {
        instance->setCompressionLevel(QualitySlider->sliderPosition());
    }
}

void RdpOptionsWidget::on_FpsSlider_actionTriggered(int) {
    if (instance) {
        instance->setFramePerSecond(FpsSlider->sliderPosition());
    }
}

void RdpOptionsWidget::on_FrameAckSlider_actionTriggered(int) {
    if (instance) {
        instance->setFrameWindowSize(FrameAckSlider->sliderPosition());
    }
}

void RdpOptionsWidget::on_ScaleSlider_actionTriggered(int) {
    if (instance) {
        instance->setScalingFactor(zoomFactorAt(ScaleSlider->sliderPosition()));
    }
}

void RdpOptionsWidget::on_QualitySlider_sliderReleased() {
    switchToCustom();
}

void RdpOptionsWidget::on_FpsSlider_sliderReleased() {
    switchToCustom();
}

void RdpOptionsWidget::on_FrameAckSlider_sliderReleased() {
    switchToCustom();
}

void RdpOptionsWidget::on_ScaleSlider_sliderReleased() {
    switchToCustom();
}

void RdpOptionsWidget::on_PerformanceSettingsComboBox_activated(int index) {
    if (instance && index >= 0) {
        const QJsonValue id =
            PerformanceSettingsComboBox->itemData(index).toJsonObject().value(QStringLiteral("_id"));
        instance->setNetworkType(id.toString());
    }
}

void RdpOptionsWidget::on_CaptureKeysBox_clicked(bool checked) {
    if (instance) {
        instance->setCapturesKeys(checked);
    }
}

void RdpOptionsWidget::on_SendCommandKeyBox_clicked(bool checked) {
    if (instance) {
        instance->setSendCommandKey(checked);
    }
}

void RdpOptionsWidget::on_CommandSendsAltBox_clicked(bool checked) {
    if (instance) {
        instance->setCommandSendsAlt(checked);
    }
}

void RdpOptionsWidget::on_CurrentMonitorBox_clicked(bool checked) {
    if (instance) {
        instance->setFullScreensOnCurrentMonitor(checked);
    }
}

void RdpOptionsWidget::on_HandlePrimarySelectionBox_clicked(bool checked) {
    if (instance) {
        instance->setHandlePrimarySelection(checked);
    }
}
