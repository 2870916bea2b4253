// The main of every benchmark program: Google Benchmark's, plus the build
// type in the printed context, since only optimised numbers mean anything.
#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
#ifdef NDEBUG
  benchmark::AddCustomContext("kartova_build", "optimised (NDEBUG)");
#else
  benchmark::AddCustomContext("kartova_build", "NOT optimised: numbers are not meaningful");
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
