// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/CheckEnvironment.h"

#include <QSemaphore>
#include <QString>

#include <memory>

namespace kivo::test {

// The readiness checks' keyring question, left unanswered (so the checks stay
// running) until `release`, and released however the test ends: the checks'
// thread is never left waiting.
class HeldKeyringAnswer {
public:
    ~HeldKeyringAnswer() { m_answer->release(); }
    // The process's environment, whose keyring answers "readable" once released.
    CheckEnvironment environment() const
    {
        CheckEnvironment e = CheckEnvironment::fromProcess();
        e.keychainProblem = [answer = m_answer](HomeLayoutKind) {
            answer->acquire();
            return QString();
        };
        return e;
    }
    void release() { m_answer->release(); }

private:
    std::shared_ptr<QSemaphore> m_answer = std::make_shared<QSemaphore>();
};

} // namespace kivo::test
