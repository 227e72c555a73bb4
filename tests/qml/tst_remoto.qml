import QtQuick 2.15
import QtTest 1.2
import Remoto 2.0

// The QML module against the demo service, which `demo` runs in a process of its own.
TestCase {
    id: testCase
    name: "Remoto"
    when: windowShown
    visible: true
    width: 420
    height: 300

    RemotoLink {
        id: link
        address: demo.address
    }
    RemoteObject {
        id: calculator
        link: link
        name: "calculator"
    }
    RemoteObject {
        id: counter
        link: link
        name: "counter"
        subscriptions: ["changed(int)"]
    }
    RemoteObject {
        id: admin
        link: link
        name: "admin"
    }
    RemoteObject {
        id: unknownSignal
        link: link
        name: "calculator"
        subscriptions: ["overflow(int)"]
    }
    SignalSpy {
        id: subscriptionErrors
        target: unknownSignal
        signalName: "error"
    }
    SignalSpy {
        id: counterSignals
        target: counter
        signalName: "remoteSignal"
    }
    Component {
        id: objectList
        ListView {
            width: 200
            height: 200
            model: link.objects
            delegate: Text {
                text: name + " " + className + " " + ready
            }
        }
    }
    Component {
        id: secondLink
        RemotoLink {}
    }

    function initTestCase() {
        tryCompare(link, "status", RemotoLink.Ready, 30000)
        tryVerify(function () { return calculator.ready && counter.ready && admin.ready }, 30000)
    }

    function lines(view) {
        var texts = []
        for (var i = 0; i < view.count; ++i)
            texts.push(view.itemAtIndex(i).text)
        return texts.join(", ")
    }

    function test_objects() {
        var view = createTemporaryObject(objectList, testCase)
        tryCompare(view, "count", 4)
        compare(lines(view), "admin Admin true, calculator Calculator true, clock Clock true, "
                + "counter Counter true")
        compare(counter.className, "Counter")
        verify(calculator.methods.indexOf("int add(int,int)") >= 0, calculator.methods)
        compare(counter.signalNames, ["void changed(int)"])
    }

    function test_call() {
        compare(calculator.call("add", 2, 3), 5)
        compare(calculator.call("add(int,int,int)", 1, 2, 3), 6)
        var refused = null
        try {
            calculator.call("add", "two", 2)
        } catch (e) {
            refused = e
        }
        verify(refused instanceof Error)
        compare(refused.code, 4)
        compare(refused.codeName, "INVALID_PARAM")
        var unsent = null
        try {
            calculator.call("divide", 1, 2)
        } catch (e) {
            unsent = e
        }
        compare(unsent.code, -1)
        compare(unsent.codeName, "NotSent")
    }

    function test_subscription() {
        counterSignals.clear()
        var before = counter.call("value")
        counter.call("increment")
        counterSignals.wait(10000)
        compare(counterSignals.signalArguments[0][0], "changed(int)")
        compare(counterSignals.signalArguments[0][1], [before + 1])
        verify(subscriptionErrors.count > 0)
        compare(subscriptionErrors.signalArguments[0][1], "Declined")
    }

    function test_withdrawn() {
        var view = createTemporaryObject(objectList, testCase)
        tryCompare(view, "count", 4)
        admin.call("withdraw", "counter")
        tryCompare(counter, "ready", false, 10000)
        tryVerify(function () { return lines(view).indexOf("counter Counter false") >= 0 })
        admin.call("republish", "counter")
        tryCompare(counter, "ready", true, 10000)
        counterSignals.clear()
        counter.call("increment")
        counterSignals.wait(10000)
        wait(200)
        compare(counterSignals.count, 1)
    }

    function test_callLater() {
        var outcomes = []
        calculator.callLater("add", [20, 22], function (value, error) { outcomes.push([value, error]) })
        calculator.callLater("add", ["x", 1], function (value, error) { outcomes.push([value, error]) })
        compare(outcomes.length, 0)
        tryCompare(outcomes, "length", 2)
        compare(outcomes[0][0], 42)
        compare(outcomes[0][1], undefined)
        compare(outcomes[1][1].code, 4)
    }

    function test_secondLink() {
        var second = createTemporaryObject(secondLink, testCase, { address: demo.address })
        verify(second.errorString.indexOf("one link") >= 0, second.errorString)
        compare(second.status, RemotoLink.Idle)
        compare(calculator.call("add", 2, 3), 5)
    }

    // The module sees the old link lost, and lets go of its proxies, before a new one starts.
    function test_relink() {
        var address = link.address
        link.address = ""
        compare(link.status, RemotoLink.Idle)
        verify(!counter.ready)
        tryCompare(link.objects, "count", 0)
        link.address = address
        tryCompare(link, "status", RemotoLink.Ready, 30000)
        tryCompare(counter, "ready", true, 10000)
        compare(calculator.call("add", 2, 3), 5)
    }

    function test_window() {
        var component = Qt.createComponent(demo.exampleItem)
        compare(component.status, Component.Ready, component.errorString())
        var item = createTemporaryObject(component, testCase, { link: link, width: 420, height: 300 })
        tryVerify(function () { return item.ticks > 0 }, 10000)
        waitForRendering(item)
        verify(demo.colours(item) > 2, "the example's item rendered blank")
    }

    // Last, as it ends with a new service.
    function test_zz_serviceKilled() {
        var errors = []
        for (var i = 0; i < 3; ++i)
            counter.callLater("increment", [], function (value, error) { errors.push(error) })
        demo.kill()
        tryCompare(link, "status", RemotoLink.Lost, 10000)
        tryCompare(errors, "length", 3, 10000)
        for (i = 0; i < 3; ++i)
            verify(errors[i] instanceof Error, errors[i])
        verify(!counter.ready)
        verify(demo.start())
        link.address = demo.address
        tryCompare(link, "status", RemotoLink.Ready, 30000)
        tryCompare(counter, "ready", true, 10000)
        compare(calculator.call("add", 2, 3), 5)
    }
}
