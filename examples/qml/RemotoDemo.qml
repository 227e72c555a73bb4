import QtQuick 2.15
import Remoto 2.0

// The demo service through a RemotoLink: its objects, the counter with a button that
// increments it, the clock, and a line that says when an object goes away and comes back.
Rectangle {
    id: root
    property RemotoLink link
    property string lastTick: "--:--:--"
    property int ticks: 0
    property string news: "waiting for the service"
    color: "#f4f6f8"
    implicitWidth: 420
    implicitHeight: 300

    RemoteObject {
        id: counter
        link: root.link
        name: "counter"
        property int value: 0
        property bool seen: false
        subscriptions: ["changed(int)"]
        onReadyChanged: {
            if (ready)
                value = call("value")
            root.news = !ready ? "counter went away" : seen ? "counter came back" : "counter is here"
            seen = true
        }
        onRemoteSignal: value = args[0]
        onError: root.news = text
    }

    RemoteObject {
        id: clock
        link: root.link
        name: "clock"
        subscriptions: ["tick(QString)"]
        onRemoteSignal: {
            root.lastTick = args[0]
            root.ticks++
        }
    }

    Column {
        anchors.fill: parent
        anchors.margins: 12
        spacing: 8

        Text {
            text: "Service: " + (root.link ? root.link.address : "")
            font.bold: true
        }

        ListView {
            width: parent.width
            height: 4 * 20
            model: root.link ? root.link.objects : null
            delegate: Text {
                height: 20
                text: (ready ? "\u25cf " : "\u25cb ") + name + " (" + className + ")"
                color: ready ? "#1b5e20" : "#9e9e9e"
            }
        }

        Row {
            spacing: 12
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: "Counter: " + counter.value
                font.pixelSize: 18
            }
            Rectangle {
                width: 100
                height: 32
                radius: 4
                color: counter.ready ? (area.pressed ? "#1565c0" : "#1e88e5") : "#b0bec5"
                Text {
                    anchors.centerIn: parent
                    text: "Increment"
                    color: "white"
                }
                MouseArea {
                    id: area
                    anchors.fill: parent
                    enabled: counter.ready
                    onClicked: counter.callLater("increment", [], function (value, error) {
                        if (error)
                            root.news = error.message
                    })
                }
            }
        }

        Text {
            text: "Clock: " + root.lastTick
            font.pixelSize: 18
        }

        Text {
            text: root.news
            font.italic: true
        }
    }
}
