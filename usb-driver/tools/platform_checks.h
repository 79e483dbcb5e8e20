// The platform's checks at the end of the scenario: one line for each kind
// of thing a driver can leave behind, then the verdict.
#pragma once

#include "account.h"

// Anything left is counted in the account as a failure.
void ShowPlatformChecks(Account& account);
