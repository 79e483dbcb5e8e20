// What the system shows of a COM port's names: the DOS-device link, the
// COM-port device interface, and the port's entry under SERIALCOMM.
#pragma once

#include <string>

#include "account.h"

// Each name is expected to be there, enabled, when named is true, and gone
// or disabled otherwise.
void ShowPortNames(Account& account, std::u16string_view portName, std::u16string_view interfaceLink, bool named);
