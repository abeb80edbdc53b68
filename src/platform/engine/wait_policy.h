#pragma once
// The engine's OpenMP runtime reads its wait policy from the environment when it is loaded,
// before main runs. Its default keeps idle workers spinning, which starves the decoder and
// encoder threads on a small machine: a 2-core video run took 87 s instead of 5.9 s. So programs
// that run the engine beside other threads run themselves again once with passive waiting,
// unless the caller chose a policy.

namespace figsplit {

// Call first thing in main with main's argv: returns only when the policy was already chosen or
// the program cannot run itself again (it then carries on with the runtime's default).
void preferPassiveOpenMpWaiting(char** argv);

}  // namespace figsplit
