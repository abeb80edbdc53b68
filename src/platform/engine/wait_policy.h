#pragma once
// The engine's OpenMP runtime reads how its idle workers wait from the environment when it is
// loaded, before main runs. Its default keeps them spinning for about 3 ms, which starves the
// decoder and encoder threads on a small machine: a 2-core video run took 87 s instead of 5.9 s.
// Passive waiting (sleep at once) costs a wake-up through the kernel at every one of the ~160
// operators of a frame instead, which on a virtual machine doubled rvm's time per frame. A short
// spin (about 0.3 ms: the gap between two operators, not between two frames) keeps both costs
// small: the workers catch the next operator awake and sleep while the model waits for a frame.
// So programs that run the engine beside other threads run themselves again once with that
// policy, unless the caller chose one (OMP_WAIT_POLICY or GOMP_SPINCOUNT).

namespace figsplit {

// Spin iterations an idle worker makes before it sleeps (the runtime counts about 100 per
// microsecond).
inline constexpr const char* kOpenMpSpinCount = "30000";

// Call first thing in main with main's argv: returns only when the policy was already chosen or
// the program cannot run itself again (it then carries on with the runtime's default).
void chooseOpenMpWaiting(char** argv);

}  // namespace figsplit
