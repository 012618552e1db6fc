#pragma once

// The per-session options window: image, network and miscellaneous settings above a list of network
// presets. Every control shows one property of the session, writes it back through the session's setter
// and follows the property's change signal; the panel keeps and stores nothing of its own.

#include "viewer/protocol/Types.h"

#include <QJsonArray>
#include <QPointer>
#include <QSet>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QSlider;
class QToolBox;
class RdpInstance;

class RdpOptionsWidget : public QWidget {
    Q_OBJECT

public:
    explicit RdpOptionsWidget(RdpInstance* instance, QWidget* parent = nullptr);
    ~RdpOptionsWidget() override;

    // Fills the preset list and selects the session's preset: the entry whose non-empty "_id" is the
    // session's network type, the last ("Custom") entry when the session has none.
    void setNetworkTypes(const QJsonArray& types);

public slots:
    void disconnectFromSession();
    void showOptionsWidget();

private slots:
    void on_AutomaticAdjustBox_clicked(bool checked);
    void on_HighQualityUpgradesBox_clicked(bool checked);
    void on_DrawImmediatelyBox_clicked(bool checked);
    void on_DPIBox_activated(int index);
    void on_SmallBlockCodecBox_activated(int index);
    void on_BigBlockCodecBox_activated(int index);
    void on_BigBlockSizeBox_activated(int index);
    void on_QualitySlider_actionTriggered(int action);
    void on_FpsSlider_actionTriggered(int action);
    void on_FrameAckSlider_actionTriggered(int action);
    void on_ScaleSlider_actionTriggered(int action);
    void on_QualitySlider_sliderReleased();
    void on_FpsSlider_sliderReleased();
    void on_FrameAckSlider_sliderReleased();
    void on_ScaleSlider_sliderReleased();
    void on_PerformanceSettingsComboBox_activated(int index);
    void on_CaptureKeysBox_clicked(bool checked);
    void on_SendCommandKeyBox_clicked(bool checked);
    void on_CommandSendsAltBox_clicked(bool checked);
    void on_CurrentMonitorBox_clicked(bool checked);
    void on_HandlePrimarySelectionBox_clicked(bool checked);
    void setSupportedCodecs(const QSet<Protocol::Byte>& ids);
    void setBigBlockSizes();

private:
    void buildForm();
    void followSession();
    void loadFromSession();
    void selectNetworkType(const QString& id);
    // Leaves the session's preset: the list shows "Custom" and the session's network type becomes empty.
    void switchToCustom();
    void showScalingFactor(double factor);

    QPointer<RdpInstance> instance;

    QLabel* label = nullptr;
    QComboBox* PerformanceSettingsComboBox = nullptr;
    QToolBox* SettingsToolBox = nullptr;
    QDialogButtonBox* ButtonBox = nullptr;

    QLabel* QualityLabel = nullptr;
    QSlider* QualitySlider = nullptr;
    QComboBox* BigBlockCodecBox = nullptr;
    QComboBox* DPIBox = nullptr;
    QCheckBox* DrawImmediatelyBox = nullptr;
    QCheckBox* HighQualityUpgradesBox = nullptr;
    QLabel* ScaleLabel = nullptr;
    QSlider* ScaleSlider = nullptr;

    QCheckBox* AutomaticAdjustBox = nullptr;
    QLabel* FpsLabel = nullptr;
    QSlider* FpsSlider = nullptr;
    QLabel* FrameAckLabel = nullptr;
    QSlider* FrameAckSlider = nullptr;
    QComboBox* SmallBlockCodecBox = nullptr;
    QComboBox* BigBlockSizeBox = nullptr;

    QCheckBox* CurrentMonitorBox = nullptr;
    QCheckBox* CaptureKeysBox = nullptr;
    QCheckBox* HandlePrimarySelectionBox = nullptr;
    QCheckBox* SendCommandKeyBox = nullptr;
    QCheckBox* CommandSendsAltBox = nullptr;
};
