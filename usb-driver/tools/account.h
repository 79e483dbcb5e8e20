// The simulator's printed account: numbered steps, a line for each call
// and result under them, and a count of what went otherwise than the
// scenario expects.
#pragma once

#include <string>

#include "win32_api.h"

class Account {
public:
    void Step(const std::string& what);
    void Detail(const std::string& text);
    // A detail the scenario counts on; when it does not hold it is marked
    // and counted as a failure.
    void Expect(bool holds, const std::string& text);
    int Failures() const { return failures_; }

private:
    int steps_ = 0;
    int failures_ = 0;
};

// A Win32 call's result as the application sees it: TRUE, or FALSE with
// the calling thread's last error by name.
std::string Win32Result(BOOL result);

// A detail's text with its label in a column of its own.
std::string Labelled(const std::string& label, const std::string& value);

// The text in quotes, shortened when long.
std::string Quoted(const std::string& text);
