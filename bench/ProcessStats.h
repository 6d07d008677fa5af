// What the process costs: CPU time, against the wall clock.
#pragma once

namespace orvik::bench {

double processCpuSeconds();
double threadCpuSeconds();
double wallSeconds();

} // namespace orvik::bench
