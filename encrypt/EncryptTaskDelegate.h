#pragma once

#include <QStyledItemDelegate>

// Paints one row of the encryption page's task list: a card with the file
// name elided to its room, the status mark and word (a failure's reason
// instead of the word, cut short past kReasonMaxWidth), and the row's one
// button: ✕ on a waiting row, 重试 on a row whose key registration got no
// answer. All texts are painted as plain text; tooltips escape them. GUI
// thread only.
class EncryptTaskDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // Name and status on one line with room around.
    static constexpr int kRowHeight = 52;
    // A failed row says why on the row itself; past this width the reason is
    // cut short and whole in the tooltip. Leaves the file name most of a row.
    static constexpr int kReasonMaxWidth = 240;

    enum class Part
    {
        None,
        Name,
        Status,
        Button,
    };

    // A view as parent gets its row buttons lit under the pointer.
    explicit EncryptTaskDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Where the row's button sits in a row drawn in rect; empty when the row
    // has none.
    static QRect buttonRect(const QRect& rect, const QModelIndex& index);
    static Part partAt(const QRect& rect, const QModelIndex& index, const QPoint& pos);
    // Every text the row paints: name, status, the button's label if any.
    static QStringList shownTexts(const QModelIndex& index);
    // The tooltip shown over a part, as markup that shows the text literally.
    static QString toolTipFor(const QModelIndex& index, Part part);
    // Tool tips guess rich text from their content; a file name or a server
    // sentence is shown as the characters it is.
    static QString plainToolTip(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void removeRequested(const QString& path);
    void retryRequested(const QString& path);

private:
    struct Geometry;
    static Geometry geometry(const QRect& rect, const QModelIndex& index);
};
