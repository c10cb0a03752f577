// The window's side of the prompt protocol while a worker exists: what the
// Start and Exit buttons and closing the window do then. The GUI's handlers
// and the test window both call these on the window's thread.
#pragma once

#include "procedure/MainIntf.h"

namespace qv {

// StartBut while a worker exists: the answer Ok or Yes (Outcome stays as
// the prompt left it, 128 after a Yes/No prompt).
void AnswerOk(TMainIntf& main);

// ExitBut captioned "&No": the answer No.
void AnswerNo(TMainIntf& main);

// Cancel, or closing the window: stops the worker and returns once it has
// ended, carrying out its synchronised calls meanwhile.
void StopWorker(TMainIntf& main);

// The window's two port components as the worker expects them: names,
// 9600 8N1, DTR off and RTS on, no XON/XOFF, 50 ms read constant, a
// placeholder device name, and the Tags by which the worker closes them
// (SerIF1 0, SerIF2 1). Every front end (the window, qvline) sets them up
// here, so that they cannot differ.
void SetUpPortComponents(TComPort& serIF1, TComPort& serIF2);

// ExitBut while a worker exists: the answer No or Cancel, by its caption.
void ExitWithWorker(TMainIntf& main);

}  // namespace qv
