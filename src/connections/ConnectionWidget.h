#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The current row of the connection list: its text with edit, favourite and delete buttons.
class ConnectionWidget : public QWidget {
    Q_OBJECT
public:
    explicit ConnectionWidget(QWidget* parent = nullptr);

    void setText(const QString& text);
    // Checks or unchecks the heart and reports it as a click would.
    void setFavorite(bool favorite);
    void setEditable(bool editable);

    QPushButton* editButton() const { return m_edit; }
    QPushButton* favoriteButton() const { return m_favorite; }
    QPushButton* deleteButton() const { return m_delete; }

signals:
    void deleteClicked();
    void editClicked();
    void favoriteClicked(bool checked);
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void updateIcons();

    QLabel* m_label = nullptr;
    QPushButton* m_edit = nullptr;
    QPushButton* m_favorite = nullptr;
    QPushButton* m_delete = nullptr;
};
