#include "account.h"

#include <cstdio>

#include "status_mapping.h"

void Account::Step(const std::string& what)
{
    std::printf("\n[%d] %s\n", ++steps_, what.c_str());
}

void Account::Detail(const std::string& text)
{
    std::printf("      %s\n", text.c_str());
}

void Account::Expect(bool holds, const std::string& text)
{
    if (holds) {
        Detail(text);
        return;
    }
    failures_++;
    Detail(text + "   <-- NOT AS EXPECTED");
}

std::string Win32Result(BOOL result)
{
    return result ? "TRUE" : "FALSE, " + sim::Win32ErrorName(GetLastError());
}

std::string Labelled(const std::string& label, const std::string& value)
{
    constexpr size_t column = 17;
    return label + std::string(label.size() < column ? column - label.size() : 1, ' ') + value;
}

std::string Quoted(const std::string& text)
{
    constexpr size_t shown = 60;
    return "\"" + (text.size() <= shown ? text : text.substr(0, shown) + "...") + "\"";
}
