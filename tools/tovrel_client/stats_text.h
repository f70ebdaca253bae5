#pragma once

#include <string>

// --stats: the main figures of a server's Prometheus metrics text, in a few
// lines for a person at a terminal. Figures the text lacks are left out.
std::string SummarizeMetrics(const std::string& text);
