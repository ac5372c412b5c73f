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

// %1 panel colour, %2 accent. The count's figures keep one width without
// help: the theme's fonts (Segoe UI, DejaVu Sans in its place) draw tabular
// figures by default, and Qt's style sheets know no property to ask for them.
const char* const kStyle = R"(
SidebarWidget { background-color: %1; border-left: 1px solid rgba(0,212,255,0.18); }
#sidebarHeader { background-color: %1; border-bottom: 1px solid rgba(0,212,255,0.18); }
#sidebarLabel { font-size: 12px; color: rgba(255,255,255,0.6); letter-spacing: 1px; background: transparent; }
#sidebarCount { font-size: 11px; color: %2; background: transparent; padding: 0; }
#sidebarEmpty { background-color: %1; }
#emptyIcon { background: transparent; }
#emptyText { font-size: 13px; color: rgba(255,255,255,0.75); background: transparent; }
#emptyHint { font-size: 11px; color: rgba(255,255,255,0.35); background: transparent; }
#emptyAddBtn { background: rgba(0,212,255,0.12); border: 1px solid rgba(0,212,255,0.35); border-radius: 6px;
               color: %2; font-size: 12px; padding: 0 18px; }
#emptyAddBtn:hover { background: rgba(0,212,255,0.22); border-color: %2; }
#sidebarAddBtn { background: rgba(0,212,255,0.12); border: 1px solid rgba(0,212,255,0.3); border-radius: 4px;
                 color: %2; font-size: 16px; font-weight: bold; }
#sidebarAddBtn:hover { background: rgba(0,212,255,0.25); border-color: %2; }
#sidebarToggleBtn { background: transparent; border: none; border-radius: 4px; }
#sidebarToggleBtn:hover { background: rgba(0,212,255,0.15); }
QStackedWidget { background-color: %1; border: none; }
QListView { background-color: %1; border: none; outline: none; }
QListView::item { border: none; }
QListView::item:selected { background: transparent; }
)";

const char* const kMenuStyle =
    "QMenu { background: #1e2a3a; border: 1px solid rgba(0,212,255,0.2); }"
    "QMenu::item { color: #eaf2ff; padding: 6px 20px; }"
    "QMenu::item:selected { background: rgba(0,212,255,0.15); }";

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

    m_header = new QWidget(this);
    m_header->setObjectName(QStringLiteral("sidebarHeader"));
    m_header->setFixedHeight(kHeaderHeight);
    auto* header = new QHBoxLayout(m_header);
    header->setContentsMargins(8, 0, 16, 0);
    m_toggle = new QPushButton(m_header);
    m_toggle->setObjectName(QStringLiteral("sidebarToggleBtn"));
    m_toggle->setFixedSize(24, 24);
    m_toggle->setCursor(Qt::PointingHandCursor);
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
    auto* add = new QPushButton(m_header);
    add->setObjectName(QStringLiteral("sidebarAddBtn"));
    add->setFixedSize(26, 26);
    add->setCursor(Qt::PointingHandCursor);
    add->setToolTip(QStringLiteral("添加视频"));
    add->setIcon(SvgIcon::icon(kAddIcon, QColor(0x00, 0xd4, 0xff), kIconSize));
    add->setIconSize(QSize(kIconSize, kIconSize));
    connect(add, &QPushButton::clicked, this, &SidebarWidget::addVideoRequested);
    header->addWidget(add);
    outer->addWidget(m_header);

    m_emptyPage = new QWidget(this);
    // Named so the panel's colour reaches it; the application's theme would
    // give it the darker page colour.
    m_emptyPage->setObjectName(QStringLiteral("sidebarEmpty"));
    auto* empty = new QVBoxLayout(m_emptyPage);
    empty->setContentsMargins(24, 0, 24, 0);
    empty->setSpacing(10);
    empty->setAlignment(Qt::AlignCenter);
    empty->addStretch();
    QLabel* icon = plainLabel(QString(), QStringLiteral("emptyIcon"), m_emptyPage);
    icon->setPixmap(SvgIcon::pixmap(kFolderIcon, QColor(255, 255, 255, 89), kEmptyIconSize));
    icon->setAlignment(Qt::AlignCenter);
    empty->addWidget(icon);
    QLabel* text =
        plainLabel(QStringLiteral("还没有视频"), QStringLiteral("emptyText"), m_emptyPage);
    text->setAlignment(Qt::AlignCenter);
    empty->addWidget(text);
    QLabel* hint = plainLabel(QStringLiteral("拖入 .vcz 文件，或点击下方按钮添加"),
                              QStringLiteral("emptyHint"), m_emptyPage);
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    empty->addWidget(hint);
    empty->addSpacing(4);
    auto* emptyAdd = new QPushButton(QStringLiteral("+ 添加视频"), m_emptyPage);
    emptyAdd->setObjectName(QStringLiteral("emptyAddBtn"));
    emptyAdd->setFixedHeight(36);
    emptyAdd->setCursor(Qt::PointingHandCursor);
    connect(emptyAdd, &QPushButton::clicked, this, &SidebarWidget::addVideoRequested);
    empty->addWidget(emptyAdd, 0, Qt::AlignCenter);
    empty->addStretch();

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

    m_stack = new QStackedWidget(this);
    m_stack->addWidget(m_emptyPage);
    m_stack->addWidget(m_list);
    outer->addWidget(m_stack);

    connect(m_model, &QAbstractItemModel::rowsInserted, this, &SidebarWidget::updateCount);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &SidebarWidget::updateCount);
    connect(m_model, &QAbstractItemModel::modelReset, this, &SidebarWidget::updateCount);
    connect(m_model, &QAbstractItemModel::dataChanged, this, &SidebarWidget::updateCount);

    updateToggleIcon();
    setStyleSheet(
        QString::fromLatin1(kStyle).arg(QStringLiteral("#304260"), QStringLiteral("#00d4ff")));
    updateCount();
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
    const QColor grey(0xb3, 0xb3, 0xb3);
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
    menu.setStyleSheet(QString::fromLatin1(kMenuStyle));
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
