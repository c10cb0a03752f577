// A front end's side of the prompts while a worker exists: the answer to
// the prompt the worker has open, and stopping the worker. Every front end
// calls these on its own thread (the worker's synchronised calls run
// there too).
#pragma once

#include "procedure/MainIntf.h"

namespace qv {

// The answer to the open prompt: Ok or Yes resume the worker, No resumes it
// with the answer No, Cancel stops it (and returns once it has ended).
// False, changing nothing, when no prompt is open or the open one does not
// take this answer.
bool Answer(TMainIntf& main, TAnswer answer);

// Cancel, or closing the window: stops the worker and returns once it has
// ended, carrying out its synchronised calls meanwhile.
void StopWorker(TMainIntf& main);

// The window's two port components as the worker expects them: names,
// 9600 8N1, DTR off and RTS on, no XON/XOFF, 50 ms read constant, a
// placeholder device name, and the Tags by which the worker closes them
// (SerIF1 0, SerIF2 1). Every front end (the window, qvline) sets them up
// here, so that they cannot differ.
void SetUpPortComponents(TComPort& serIF1, TComPort& serIF2);

}  // namespace qv
