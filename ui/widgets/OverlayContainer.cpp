#include "OverlayContainer.h"

#include <QResizeEvent>

OverlayContainer::OverlayContainer(QWidget* parent) : QWidget(parent) {}

OverlayContainer::~OverlayContainer()
{
    // The layers die with the base class, after the list is gone.
    for (QWidget* layer : std::as_const(m_layers)) {
        disconnect(layer, &QObject::destroyed, this, nullptr);
    }
}

void OverlayContainer::addLayer(QWidget* layer)
{
    if (!layer || m_layers.contains(layer)) {
        return;
    }
    if (layer->parentWidget() != this) {
        // Re-parenting hides a widget; a layer keeps an explicit hide only.
        const bool hidden = layer->testAttribute(Qt::WA_WState_ExplicitShowHide) &&
                            layer->testAttribute(Qt::WA_WState_Hidden);
        layer->setParent(this);
        layer->setVisible(!hidden);
    }
    m_layers.append(layer);
    // A layer deleted by its owner must not stay in the list as a dangling pointer.
    connect(layer, &QObject::destroyed, this,
            [this, layer](QObject*) { m_layers.removeAll(layer); });
    layer->setGeometry(rect());
    layer->raise();
}

void OverlayContainer::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    for (QWidget* layer : std::as_const(m_layers)) {
        layer->setGeometry(rect());
    }
}
