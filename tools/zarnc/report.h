#pragma once
// The text report: what a performance engineer reads first after a compilation.

#include <string>

#include "pipeline.h"
#include "text.h"

namespace zarnc {

/// The report of every stage that produced (graph size, phases, SRAM use, exchange phases, totals),
/// then the failure, if any. Needs the schedule for all but the first section.
std::string render_report(const Results& results, const Style& style);

}  // namespace zarnc
