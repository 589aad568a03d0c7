#pragma once

#include <QDialogButtonBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers modal windows the way a person would: a polling timer, armed before the call
// that opens the window, finds the active modal widget and acts on it. A window that
// never appears leaves the answerer unanswered after its deadline instead of hanging.
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    using Action = std::function<void(QWidget *)>;
    using Condition = std::function<bool(QWidget *)>;

    explicit ModalAnswerer(QObject *parent = nullptr);

    // Queues an answer for the next modal window; answers are used in order.
    void answer(const Action &action) { answerWhen(nullptr, action); }
    // Answers the next modal window once the condition holds for it, looking again at
    // every poll, so that no answer waits inside a nested loop.
    void answerWhen(const Condition &ready, const Action &action);
    // Presses a standard button of the next message box or dialog button box.
    void press(QDialogButtonBox::StandardButton button)
    {
        answer([button](QWidget *window) { pressButton(window, button); });
    }

    int answeredCount() const { return m_answered; }
    int pendingCount() const { return m_actions.size(); }
    // Title, and text with informative text, of every message box answered, in order.
    QStringList seenTexts() const { return m_texts; }
    QStringList seenTitles() const { return m_titles; }

    static void pressButton(QWidget *window, QDialogButtonBox::StandardButton button);

private:
    void poll();

    QTimer m_timer;
    struct Answer
    {
        Condition ready;
        Action action;
    };
    QList<Answer> m_actions;
    // Guarded: two dialogs opened one after the other may share an address.
    QPointer<QWidget> m_lastAnswered;
    int m_answered = 0;
    int m_idlePolls = 0;
    QStringList m_texts;
    QStringList m_titles;
};
