// Steps of the procedure whose subsystems are not built yet. Each returns
// at once, leaving the worker's state as it found it; the file that
// implements a step takes its definition out of here.
#include "procedure/SerThread.h"

namespace qv {

void TSerThread::RunFineTuning() {}

}  // namespace qv
