#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {
constexpr int PollInterval = 20;
constexpr int DeadlinePolls = 3000; // 60 s without a window to answer (sanitizer builds are slow)
}

ModalAnswerer::ModalAnswerer(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(PollInterval);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
}

void ModalAnswerer::answer(const Action &action)
{
    answerWhen(nullptr, action);
}

void ModalAnswerer::answerWhen(const Condition &ready, const Action &action)
{
    m_actions.append({ready, action});
    m_idlePolls = 0;
    m_timer.start();
}

void ModalAnswerer::press(QDialogButtonBox::StandardButton button)
{
    answer([button](QWidget *window) { pressButton(window, button); });
}

int ModalAnswerer::answeredCount() const
{
    return m_answered;
}

int ModalAnswerer::pendingCount() const
{
    return m_actions.size();
}

QStringList ModalAnswerer::seenTexts() const
{
    return m_texts;
}

QStringList ModalAnswerer::seenTitles() const
{
    return m_titles;
}

void ModalAnswerer::pressButton(QWidget *window, QDialogButtonBox::StandardButton button)
{
    if (auto box = qobject_cast<QMessageBox *>(window)) {
        if (auto target = box->button(static_cast<QMessageBox::StandardButton>(button))) {
            target->click();
        }
        return;
    }
    const auto buttonBoxes = window->findChildren<QDialogButtonBox *>();
    for (QDialogButtonBox *buttonBox : buttonBoxes) {
        if (auto target = buttonBox->button(button)) {
            target->click();
            return;
        }
    }
}

void ModalAnswerer::poll()
{
    if (m_actions.isEmpty()) {
        m_timer.stop();
        return;
    }
    QWidget *window = QApplication::activeModalWidget();
    if (!window || window == m_lastAnswered || !window->isVisible()) {
        if (++m_idlePolls > DeadlinePolls) {
            m_timer.stop();
        }
        // A window answered earlier may close and reopen at the same address.
        if (!window) {
            m_lastAnswered = nullptr;
        }
        return;
    }
    const Answer &next = m_actions.first();
    if (next.ready && !next.ready(window)) {
        // A window that never becomes ready is closed at the deadline: the test then fails
        // on what it expected instead of waiting for ever.
        if (++m_idlePolls > DeadlinePolls) {
            if (auto dialog = qobject_cast<QDialog *>(window)) {
                dialog->reject();
            }
        }
        return;
    }
    m_idlePolls = 0;
    m_lastAnswered = window;
    if (auto box = qobject_cast<QMessageBox *>(window)) {
        m_titles.append(box->windowTitle());
        m_texts.append(box->informativeText().isEmpty() ? box->text() : box->text() + QLatin1Char('\n') + box->informativeText());
    }
    const Action action = m_actions.takeFirst().action;
    ++m_answered;
    action(window);
}
