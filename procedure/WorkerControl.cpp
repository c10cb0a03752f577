#include "procedure/WorkerControl.h"

#include <memory>

#include "procedure/SerThread.h"

namespace qv {

bool PromptTakes(TPromptKind kind, TAnswer answer) {
  switch (kind) {
    case pkConnect:
      return answer == anOk || answer == anCancel;
    case pkNextUnit:
    case pkNextAttempt:
      return answer == anYes || answer == anNo;
    case pkAwaitHandheld:
    case pkAwaitDisconnection:
      return answer == anCancel;
    case pkEnd:
      return false;
  }
  return false;
}

const char* PromptKindName(TPromptKind kind) {
  switch (kind) {
    case pkConnect:
      return "connect";
    case pkAwaitHandheld:
      return "await handheld";
    case pkAwaitDisconnection:
      return "await disconnection";
    case pkNextUnit:
      return "next unit";
    case pkNextAttempt:
      return "next attempt";
    case pkEnd:
      return "end";
  }
  return "";
}

bool Answer(TMainIntf& main, TAnswer answer) {
  if (main.Worker == nullptr || !main.OpenPrompt || !PromptTakes(*main.OpenPrompt, answer)) return false;
  if (answer == anCancel) {
    StopWorker(main);
    return true;
  }
  main.OpenPrompt.reset();
  // The worker is suspended at its prompt: nothing else reads or writes
  // its answer now.
  main.Worker->PromptAnswer = answer;
  main.Worker->Resume();
  return true;
}

void StopWorker(TMainIntf& main) {
  TSerThread* worker = main.Worker;
  if (worker == nullptr) return;
  // Taken first: once resumed, a worker that has nothing left to do may end
  // and free itself at once.
  const std::shared_ptr<TThreadCompletion> end = worker->Completion();
  main.OpenPrompt.reset();
  // The request goes before the resumption, so that a worker released from
  // its prompt already sees it and exchanges no byte on the way to its end.
  worker->Terminate();
  if (worker->Suspended()) worker->Resume();
  end->WaitFor();
  // The worker's last synchronised call has cleared Worker already, unless
  // it was stopped before it ever ran.
  main.Worker = nullptr;
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
