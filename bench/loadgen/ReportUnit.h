#pragma once

#include <string>
#include <vector>

struct TRunResult;

// The machine's load average as /proc shows it.
std::string LoadAverage();
// A whole number with thousands separated by commas.
std::string Thousands(double value);

// The table of scenarios: its header, then a row per run with the run's error samples under it.
void PrintHeader();
void PrintRow(const TRunResult& r);

// One target met or not, and what was measured for it.
struct TVerdict {
    bool pass;
    std::string text;
};
// Prints the load at the end and every verdict; the exit status: 0 when all passed or only a report was
// asked for.
int PrintVerdicts(const std::vector<TVerdict>& verdicts, bool reportOnly);
