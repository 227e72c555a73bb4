// The QML module Remoto in a small window against the demo service (remoto-demo-service). With
// --grab it saves the window to a picture after the clock's first tick and exits.

#include <QtCore/QCommandLineParser>
#include <QtCore/QTextStream>
#include <QtGui/QGuiApplication>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtQml/QQmlApplicationEngine>
#include <QtQml/QQmlContext>
#include <QtQuick/QQuickWindow>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the demo service's objects through the QML module Remoto; finds the module "
        "where Qt finds QML modules, or through QML2_IMPORT_PATH."));
    parser.addHelpOption();
    const QCommandLineOption address(QStringLiteral("connect"),
        QStringLiteral("The service (default local:remoto-demo)."), QStringLiteral("ADDRESS"),
        QStringLiteral("local:remoto-demo"));
    const QCommandLineOption grab(QStringLiteral("grab"),
        QStringLiteral("Save the window to FILE after the first tick of the clock, and exit."),
        QStringLiteral("FILE"));
    parser.addOptions({ address, grab });
    parser.process(app);

    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(
        QStringLiteral("serviceAddress"), parser.value(address));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (!window || !parser.isSet(grab))
        return app.exec();

    // Grabbed from the event loop once a frame with a tick in it is on screen.
    const QString file = parser.value(grab);
    int status = 1;
    bool grabbing = false;
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] {
        if (grabbing || window->property("ticks").toInt() < 1)
            return;
        grabbing = true;
        QMetaObject::invokeMethod(
            window,
            [&] {
                // With the software renderer QQuickWindow::grabWindow() reads the platform's
                // backing store, which the offscreen platform does not hand over: its screen does.
                if (window->screen()->grabWindow(window->winId()).save(file)) {
                    QTextStream(stdout) << "saved the window to " << file << Qt::endl;
                    status = 0;
                } else {
                    QTextStream(stderr) << "remoto-qml-example: cannot save " << file << Qt::endl;
                }
                app.quit();
            },
            Qt::QueuedConnection);
    });
    app.exec();
    return status;
}
