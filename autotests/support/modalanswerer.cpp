#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {
constexpr int DeadlinePolls = 3000; // 60 s of 20 ms polls without a window (sanitizer builds are slow)
}

ModalAnswerer::ModalAnswerer(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
}

void ModalAnswerer::answerWhen(const Condition &ready, const Action &action)
{
    m_actions.append({ready, action});
    m_idlePolls = 0;
    m_timer.start();
}

void ModalAnswerer::pressButton(QWidget *window, QDialogButtonBox::StandardButton button)
{
    // A message box keeps its buttons in a button box as well.
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
    if (m_actions.first().ready && !m_actions.first().ready(window)) {
        // A window that never becomes ready is closed at the deadline: the test then fails
        // on what it expected instead of waiting for ever.
        auto dialog = qobject_cast<QDialog *>(window);
        if (++m_idlePolls > DeadlinePolls && dialog) {
            dialog->reject();
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
