#include "procedure/WorkerControl.h"

#include <memory>

#include "procedure/SerThread.h"

namespace qv {

namespace {

void BackToRunning(TMainIntf& main) {
  main.SetLogMemoVisible(true);
  main.FocusLogMemo();
  main.SetStartButVisible(false);
  main.SetStartButCaption("&Ok");
  main.SetExitButCaption("&Cancel");
}

}  // namespace

void AnswerOk(TMainIntf& main) {
  if (main.Worker == nullptr) return;
  BackToRunning(main);
  main.Worker->Resume();
}

void AnswerNo(TMainIntf& main) {
  if (main.Worker == nullptr) return;
  // The worker is suspended at its prompt: nothing else writes Outcome now.
  main.Worker->Outcome = ocAnswerNo;
  // Start hides the prompt text before it answers; No does the same, or the
  // question would stay over the log pane until the worker's next status.
  main.SetStatTxtVisible(false);
  BackToRunning(main);
  main.Worker->Resume();
}

void StopWorker(TMainIntf& main) {
  TSerThread* worker = main.Worker;
  if (worker == nullptr) return;
  // Taken first: once resumed, a worker that has nothing left to do may end
  // and free itself at once.
  const std::shared_ptr<TThreadCompletion> end = worker->Completion();
  // The request goes before the resumption, so that a worker released from
  // its prompt already sees it and exchanges no byte on the way to its end.
  worker->Terminate();
  if (worker->Suspended()) worker->Resume();
  end->WaitFor();
  // The worker's last synchronised call has cleared Worker already, unless
  // it was stopped before it ever ran.
  main.Worker = nullptr;
}

void ExitWithWorker(TMainIntf& main) {
  if (main.Worker == nullptr) return;
  if (main.ExitButCaption() == "&No")
    AnswerNo(main);
  else
    StopWorker(main);
}

void SetUpPortComponents(TComPort& serIF1, TComPort& serIF2) {
  serIF1.Name = "SerIF1";
  serIF2.Name = "SerIF2";
  for (TComPort* port : {&serIF1, &serIF2}) {
    port->SetBaudRate(br9600);
    port->SetDataBits(db8);
    port->SetParity(paNone);
    port->SetStopBits(sb1);
    port->FlowControl().SetDTR(dcDisable);
    port->FlowControl().SetRTS(rcEnable);
    port->FlowControl().SetXOnXOff(xcDisable);
    port->Timeouts().SetReadConstant(50);
    port->SetDeviceName("COM2");
  }
  serIF1.Tag = 0;
  serIF2.Tag = 1;
}

}  // namespace qv
