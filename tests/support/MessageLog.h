#pragma once
// The lines the program writes to its error log, caught for a test.

#include "platform/MessageBoxes.h"

#include <QStringList>

namespace qvt::test {

// While it lives, the lines LogMessage writes are kept in Lines.
struct MessageLogScope {
    QStringList Lines;
    MessageLogScope()
    {
        SetMessageLog([this](const QString& line) { Lines << line; });
    }
    ~MessageLogScope() { SetMessageLog({}); }
    MessageLogScope(const MessageLogScope&) = delete;
    MessageLogScope& operator=(const MessageLogScope&) = delete;
};

} // namespace qvt::test
