#pragma once

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
TVerdict NoErrorsVerdict(uint64_t errors);

uint64_t ErrorCount(const std::vector<TRunResult>& runs);
