#pragma once

#include <QModelIndex>
#include <QWidget>

class PlaylistDelegate;
class PlaylistModel;
class QLabel;
class QListView;
class QMenu;
class QPushButton;
class QStackedWidget;

// The collapsible playlist on the right of the video: a header with the
// collapse toggle, the title, the entry count and an add button; below it
// either the list or, while it is empty, an invitation to add videos.
// GUI thread only.
class SidebarWidget : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kExpandedWidth = 260;
    static constexpr int kCollapsedWidth = 28;

    explicit SidebarWidget(QWidget* parent = nullptr);

    PlaylistModel* model() const { return m_model; }
    PlaylistDelegate* delegate() const { return m_delegate; }
    QListView* listView() const { return m_list; }
    bool isCollapsed() const { return m_collapsed; }
    void selectRow(int row);

public slots:
    void toggleCollapse();
    void onItemClicked(const QModelIndex& index);
    void onContextMenu(const QPoint& pos);

signals:
    void itemActivated(int index);
    void itemRemoved(int index);
    void addVideoRequested();

private:
    // The constructor's parts, top to bottom.
    QWidget* buildHeader();
    QWidget* buildEmptyPage();
    void buildList();
    void setCollapsed(bool collapsed);
    void updateCount();
    void updateToggleIcon();

    // All fields: GUI thread only; widgets are Qt children.
    QListView* m_list = nullptr;
    QWidget* m_emptyPage = nullptr;
    QStackedWidget* m_stack = nullptr;
    PlaylistModel* m_model = nullptr;
    PlaylistDelegate* m_delegate = nullptr;
    QPushButton* m_toggle = nullptr;
    QLabel* m_count = nullptr;
    QWidget* m_header = nullptr;
    bool m_collapsed = false;
};
