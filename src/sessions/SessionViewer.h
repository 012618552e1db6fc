#pragma once

#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QWidget>

class QSvgRenderer;
class Session;

namespace Ui {
class SessionViewer;
}

// One grid card: the session's screenshot, its client badge, its display name and an edit button.
// The grid's delegate lays one of these out per cell and renders it; it is never shown itself.
class SessionViewer : public QWidget {
    Q_OBJECT
public:
    explicit SessionViewer(QWidget* parent = nullptr);
    ~SessionViewer() override;

    // A null image shows a camera on white; any other is stretched over the whole label.
    void setScreenshot(const QImage& image);
    void setSession(const Session& session);
    void relayout();
    void elideName();

    // Geometry of the parts in the card's own coordinates.
    QRect screenshotRect() const;
    QRect bottomFrameRect() const;
    QRect editButtonRect() const;

    // The name as the card shows it before eliding: one line of plain text.
    QString fullName() const { return m_name; }

    static const QString placeholderResource;
    static const QString badgeStyle;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap placeholder(const QSize& size);

    Ui::SessionViewer* ui;
    QSvgRenderer* m_camera = nullptr;
    QPixmap m_placeholder;
    QString m_name;
};
