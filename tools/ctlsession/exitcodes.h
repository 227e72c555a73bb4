#ifndef EXITCODES_H
#define EXITCODES_H

// Distinct, so scripts can tell what went wrong; listed in --help.
namespace ExitCode {
enum : int {
    Ok = 0,
    Usage = 1,
    PluginUnavailable = 2,
    Unreachable = 3,
    UnknownObject = 4,
    UnknownMember = 5,
    CallFailed = 6,
    AccessRefused = 7,
    NotSent = 8,
    ScriptFailed = 9,
    OutputFailed = 10,
};
} // namespace ExitCode

#endif
