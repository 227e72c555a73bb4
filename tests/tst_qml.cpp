#include "demoservice.h"

#include <QtGui/QImage>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtQml/QQmlContext>
#include <QtQml/QQmlEngine>
#include <QtQuick/QQuickItem>
#include <QtQuick/QQuickWindow>
#include <QtQuickTest/quicktest.h>

#include <memory>

// What the QML tests in qml/ reach as `demo`: the demo service in a process of its own, which
// they may kill and start anew, and the example's main item.
class DemoControl : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString address READ address NOTIFY addressChanged)
    Q_PROPERTY(QUrl exampleItem READ exampleItem CONSTANT)

public:
    QString address() const { return m_service ? m_service->address() : QString(); }
    QUrl exampleItem() const { return QUrl::fromLocalFile(QStringLiteral(REMOTO_EXAMPLE_ITEM)); }

    Q_INVOKABLE bool start()
    {
        m_service = std::make_unique<DemoService>();
        const bool started = m_service->start();
        Q_EMIT addressChanged();
        return started;
    }
    Q_INVOKABLE void kill() { m_service->kill(); }

    // How many colours the item shows, as its window is on screen. QQuickWindow::grabWindow(),
    // and with it TestCase.grabImage(), reads nothing from the offscreen platform's software
    // backing store; its screen does.
    Q_INVOKABLE int colours(QQuickItem *item) const
    {
        QQuickWindow *window = item->window();
        const QRectF area = item->mapRectToScene(item->boundingRect());
        const QImage image = window->screen()
                                 ->grabWindow(window->winId(), int(area.x()), int(area.y()),
                                     int(area.width()), int(area.height()))
                                 .toImage();
        QSet<QRgb> seen;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                seen.insert(image.pixel(x, y));
        }
        return seen.size();
    }

Q_SIGNALS:
    void addressChanged();

private:
    std::unique_ptr<DemoService> m_service;
};

class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        if (m_demo.address().isEmpty() && !m_demo.start())
            qFatal("the demo service did not start");
        engine->rootContext()->setContextProperty(QStringLiteral("demo"), &m_demo);
    }

private:
    DemoControl m_demo;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)

#include "tst_qml.moc"
