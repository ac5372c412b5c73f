#pragma once

#include <QList>
#include <QWidget>

// The video area's stack of full-size layers (picture, empty page, replay
// dimmer, watermark). Each layer always covers the whole container; the layer
// added last is on top. Other children, such as the control bar, are placed
// by their owner and left alone here.
class OverlayContainer : public QWidget
{
    Q_OBJECT

public:
    explicit OverlayContainer(QWidget* parent = nullptr);
    ~OverlayContainer() override;

    // A null layer, or one already added, is ignored.
    void addLayer(QWidget* layer);
    QList<QWidget*> layers() const { return m_layers; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // GUI thread only. Not owned beyond the Qt parent tree.
    QList<QWidget*> m_layers;
};
