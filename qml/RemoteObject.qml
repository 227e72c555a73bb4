import Remoto 2.0

// One remote object of a RemotoLink, by name. call() waits for the answer and throws an Error
// (with `code` and `codeName`) when the call fails.
RemoteObjectBase {
    function call(method) {
        var outcome = callForOutcome(method, Array.prototype.slice.call(arguments, 1))
        if (outcome.error)
            throw outcome.error
        return outcome.value
    }
}
