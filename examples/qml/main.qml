import QtQuick 2.15
import QtQuick.Window 2.15
import Remoto 2.0

Window {
    id: window
    property alias ticks: demo.ticks
    width: 420
    height: 300
    visible: true
    title: "Remoto QML example"

    RemotoLink {
        id: link
        address: serviceAddress
        autoReconnect: true
    }

    RemotoDemo {
        id: demo
        anchors.fill: parent
        link: link
    }
}
