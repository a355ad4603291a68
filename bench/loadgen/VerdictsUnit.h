#pragma once

#include "FloodUnit.h"
#include "ReportUnit.h"
#include "ScenariosUnit.h"

#include <cstdint>

struct TOptions;

// The benchmark's targets, each judged from what its scenarios measured.
TVerdict ReadCardVerdict(const TReadResults& read);
TVerdict IssueCardVerdict(const TIssueResults& issues);
// No target of its own: the figures stand next to Client.db's; every answered issue needs its row.
TVerdict ServerIssueCardVerdict(const TIssueResults& issues);
TVerdict IdleVerdict(const TIdleResult& idle, const TOptions& options);
// Every flood connection held open at once.
TVerdict HoldVerdict(const THoldResult& hold);
// Every one of the allowed client's issues answered within 1 s during the flood.
TVerdict FloodVerdict(const TFloodResult& flood);
// ReadCard over TLS, resumed, at 8 clients at least 1,000 requests/s, and resumed for real.
TVerdict TlsVerdict(const TTlsResults& tls);
TVerdict NoErrorsVerdict(uint64_t errors);

uint64_t ErrorCount(const std::vector<TRunResult>& runs);
