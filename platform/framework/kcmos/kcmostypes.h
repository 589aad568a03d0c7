#pragma once

namespace KCMOS
{
// The values follow KMessageWidget::MessageType: 0 positive ... 3 error.
enum MessageType {
    Positive = 0,
    Information = 1,
    Warning = 2,
    Error = 3,
};

enum State {
    Idle = 0,
    Succeeded = 1,
    Failed = 2,
    Busy = 3,
};
}
