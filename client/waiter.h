#ifndef WAITER_H
#define WAITER_H

#include <QtCore/QDeadlineTimer>
#include <QtCore/QObject>
#include <QtCore/QVarLengthArray>

QT_BEGIN_NAMESPACE
class QEventLoop;
QT_END_NAMESPACE

// Runs the thread's events in a nested loop until told to finish, or until a deadline. Whoever
// finishes it quits the loop at once, from the finishing code's own path, and a finish that
// comes before the wait makes the wait return at once. Each wait keeps its loop on its own
// stack, so the waiter may be deleted while one runs: that ends every running wait too.
class Waiter : public QObject
{
    Q_OBJECT
public:
    explicit Waiter(QObject *parent = nullptr);
    ~Waiter() override;

    // True when finish() ended it (or came before it), false when the deadline passed or the
    // waiter was deleted meanwhile.
    bool wait(const QDeadlineTimer &deadline = QDeadlineTimer(QDeadlineTimer::Forever));
    // Ends every running wait; a wait that starts later returns at once.
    void finish();
    bool isFinished() const { return m_finished; }

private:
    QVarLengthArray<QEventLoop *, 2> m_loops;
    bool m_finished = false;
};

#endif
