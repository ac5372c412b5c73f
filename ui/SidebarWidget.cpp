#include "SidebarWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "PlainLabel.h"
#include "PlaylistDelegate.h"
#include "PlaylistModel.h"
#include "SvgIcon.h"
#include "Theme.h"

namespace {

constexpr int kIconSize = 16;
constexpr int kHeaderHeight = 40;
constexpr int kEmptyIconSize = 36;

const QString kAddIcon = QStringLiteral(R"(<path d="M19 13h-6v6h-2v-6H5v-2h6V5h2v6h6v2z"/>)");
// Drawn rather than typed: a folder emoji has no glyph on most Linux desktops.
const QString kFolderIcon = QStringLiteral(
    R"(<path d="M20 6h-8l-2-2H4c-1.1 0-1.99.9-1.99 2L2 18c0 1.1.9 2 2 2h16c1.1 0 2-.9 2-2V8)"
    R"(c0-1.1-.9-2-2-2zm0 12H4V8h16v10z"/>)");
const QString kCollapseIcon =
    QStringLiteral(R"(<path d="M8.59 16.59L13.17 12 8.59 7.41 10 6l6 6-6 6z"/>)"
                   R"(<path d="M15.59 16.59L20.17 12 15.59 7.41 17 6l6 6-6 6z"/>)");
const QString kExpandIcon =
    QStringLiteral(R"(<path d="M15.41 16.59L10.83 12l4.58-4.59L14 6l-6 6 6 6z"/>)"
                   R"(<path d="M8.41 16.59L3.83 12l4.58-4.59L7 6l-6 6 6 6z"/>)");

// The count's figures keep one width without help: the theme's fonts (Segoe
// UI, DejaVu Sans in its place) draw tabular figures by default, and Qt's
// style sheets know no property to ask for them.
const char* const kStyle = R"(
SidebarWidget { background-color: {panel}; border-left: 1px solid {accentLine}; }
#sidebarHeader { background-color: {panel}; border-bottom: 1px solid {accentLine}; }
#sidebarLabel { font-size: 12px; color: {white@60}; letter-spacing: 1px; background: transparent; }
#sidebarCount { font-size: 11px; color: {accent}; background: transparent; padding: 0; }
#sidebarEmpty { background-color: {panel}; }
#emptyIcon { background: transparent; }
#emptyText { font-size: 13px; color: {white@75}; background: transparent; }
#emptyHint { font-size: 11px; color: {white@35}; background: transparent; }
#emptyAddBtn { background: {accent@12}; border: 1px solid {accentStrong}; border-radius: 6px;
               color: {accent}; font-size: 12px; padding: 0 18px; }
#emptyAddBtn:hover { background: {accent@22}; border-color: {accent}; }
#sidebarAddBtn { background: {accent@12}; border: 1px solid {accentOutline}; border-radius: 4px;
                 color: {accent}; font-size: 16px; font-weight: bold; }
#sidebarAddBtn:hover { background: {accent@25}; border-color: {accent}; }
#sidebarToggleBtn { background: transparent; border: none; border-radius: 4px; }
#sidebarToggleBtn:hover { background: {accentTint}; }
QStackedWidget { background-color: {panel}; border: none; }
QListView { background-color: {panel}; border: none; outline: none; }
QListView::item { border: none; }
QListView::item:selected { background: transparent; }
)";

}  // namespace

SidebarWidget::SidebarWidget(QWidget* parent) : QWidget(parent)
{
    setFixedWidth(kExpandedWidth);
    // The accent line on the left is this widget's own style-sheet border,
    // which a plain QWidget subclass paints only when asked; the layout keeps
    // the children off it.
    setAttribute(Qt::WA_StyledBackground);
    m_model = new PlaylistModel(this);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(1, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(buildHeader());
    m_emptyPage = buildEmptyPage();
    buildList();
    m_stack = new QStackedWidget(this);
    m_stack->addWidget(m_emptyPage);
    m_stack->addWidget(m_list);
    outer->addWidget(m_stack);

    connect(m_model, &QAbstractItemModel::rowsInserted, this, &SidebarWidget::updateCount);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &SidebarWidget::updateCount);
    connect(m_model, &QAbstractItemModel::modelReset, this, &SidebarWidget::updateCount);
    connect(m_model, &QAbstractItemModel::dataChanged, this, &SidebarWidget::updateCount);

    updateToggleIcon();
    setStyleSheet(Theme::fill(kStyle));
    updateCount();
}

QWidget* SidebarWidget::buildHeader()
{
    m_header = new QWidget(this);
    m_header->setObjectName(QStringLiteral("sidebarHeader"));
    m_header->setFixedHeight(kHeaderHeight);
    auto* header = new QHBoxLayout(m_header);
    header->setContentsMargins(8, 0, 16, 0);
    m_toggle = Theme::pointerButton(QString(), m_header, QStringLiteral("sidebarToggleBtn"));
    m_toggle->setFixedSize(24, 24);
    m_toggle->setIconSize(QSize(kIconSize, kIconSize));
    connect(m_toggle, &QPushButton::clicked, this, &SidebarWidget::toggleCollapse);
    header->addWidget(m_toggle);
    header->addSpacing(4);
    header->addWidget(
        plainLabel(QStringLiteral("播放列表"), QStringLiteral("sidebarLabel"), m_header));
    header->addStretch();
    m_count = plainLabel(QString(), QStringLiteral("sidebarCount"), m_header);
    m_count->hide();
    header->addWidget(m_count);
    QPushButton* add = Theme::pointerButton(QString(), m_header, QStringLiteral("sidebarAddBtn"));
    add->setFixedSize(26, 26);
    add->setToolTip(QStringLiteral("添加视频"));
    add->setIcon(SvgIcon::icon(kAddIcon, Theme::color(QStringLiteral("accent")), kIconSize));
    add->setIconSize(QSize(kIconSize, kIconSize));
    connect(add, &QPushButton::clicked, this, &SidebarWidget::addVideoRequested);
    header->addWidget(add);
    return m_header;
}

// The invitation shown while the playlist is empty.
QWidget* SidebarWidget::buildEmptyPage()
{
    auto* page = new QWidget(this);
    // Named so the panel's colour reaches it; the application's theme would
    // give it the darker page colour.
    page->setObjectName(QStringLiteral("sidebarEmpty"));
    auto* empty = new QVBoxLayout(page);
    empty->setContentsMargins(24, 0, 24, 0);
    empty->setSpacing(10);
    empty->setAlignment(Qt::AlignCenter);
    empty->addStretch();
    QLabel* icon = plainLabel(QString(), QStringLiteral("emptyIcon"), page);
    icon->setPixmap(
        SvgIcon::pixmap(kFolderIcon, Theme::color(QStringLiteral("white"), 89), kEmptyIconSize));
    icon->setAlignment(Qt::AlignCenter);
    empty->addWidget(icon);
    QLabel* text = plainLabel(QStringLiteral("还没有视频"), QStringLiteral("emptyText"), page);
    text->setAlignment(Qt::AlignCenter);
    empty->addWidget(text);
    QLabel* hint = plainLabel(QStringLiteral("拖入 .vcz 文件，或点击下方按钮添加"),
                              QStringLiteral("emptyHint"), page);
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    empty->addWidget(hint);
    empty->addSpacing(4);
    QPushButton* emptyAdd =
        Theme::pointerButton(QStringLiteral("+ 添加视频"), page, QStringLiteral("emptyAddBtn"));
    emptyAdd->setFixedHeight(36);
    connect(emptyAdd, &QPushButton::clicked, this, &SidebarWidget::addVideoRequested);
    empty->addWidget(emptyAdd, 0, Qt::AlignCenter);
    empty->addStretch();
    return page;
}

void SidebarWidget::buildList()
{
    m_list = new QListView(this);
    m_list->setModel(m_model);
    m_delegate = new PlaylistDelegate(m_list);
    m_list->setItemDelegate(m_delegate);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setMouseTracking(true);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QListView::doubleClicked, this, &SidebarWidget::onItemClicked);
    connect(m_list, &QListView::customContextMenuRequested, this, &SidebarWidget::onContextMenu);
}

void SidebarWidget::updateCount()
{
    const int n = m_model->rowCount();
    if (n == 0) {
        m_stack->setCurrentWidget(m_emptyPage);
        m_count->hide();
        return;
    }
    m_stack->setCurrentWidget(m_list);
    m_count->setText(QStringLiteral("%1 / %2").arg(n).arg(PlaylistModel::kCapacity));
    // A collapsed sidebar shows nothing but its toggle.
    m_count->setVisible(!m_collapsed);
}

void SidebarWidget::updateToggleIcon()
{
    const QColor grey = Theme::color(QStringLiteral("iconMuted"));
    m_toggle->setIcon(SvgIcon::icon(m_collapsed ? kExpandIcon : kCollapseIcon, grey, kIconSize));
    m_toggle->setToolTip(m_collapsed ? QStringLiteral("展开播放列表")
                                     : QStringLiteral("收起播放列表"));
}

void SidebarWidget::toggleCollapse()
{
    setCollapsed(!m_collapsed);
}

void SidebarWidget::setCollapsed(bool collapsed)
{
    m_collapsed = collapsed;
    const QList<QWidget*> headerWidgets =
        m_header->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    if (collapsed) {
        m_stack->hide();
        for (QWidget* w : headerWidgets) {
            w->setVisible(w == m_toggle);
        }
        setFixedWidth(kCollapsedWidth);
    } else {
        setFixedWidth(kExpandedWidth);
        for (QWidget* w : headerWidgets) {
            w->show();
        }
        m_stack->show();
        updateCount();
    }
    updateToggleIcon();
}

void SidebarWidget::onItemClicked(const QModelIndex& index)
{
    if (index.isValid() && index.data(PlaylistModel::PermissionRole).toBool()) {
        emit itemActivated(index.row());
    }
}

void SidebarWidget::onContextMenu(const QPoint& pos)
{
    const QModelIndex index = m_list->indexAt(pos);
    if (!index.isValid()) {
        return;
    }
    QMenu menu(this);
    menu.setStyleSheet(Theme::menuStyle());
    QAction* remove = menu.addAction(QStringLiteral("删除"));
    // The row may move while the menu is open (an eviction); follow it.
    const QPersistentModelIndex target(index);
    if (menu.exec(m_list->viewport()->mapToGlobal(pos)) != remove || !target.isValid()) {
        return;
    }
    const int row = target.row();
    emit itemRemoved(row);
    m_model->removeEntry(row);
}

void SidebarWidget::selectRow(int row)
{
    if (row < 0 || row >= m_model->rowCount()) {
        return;
    }
    const QModelIndex index = m_model->index(row);
    m_list->setCurrentIndex(index);
    m_list->scrollTo(index, QAbstractItemView::EnsureVisible);
}
