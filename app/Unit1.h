// The demo's main form: pick a USB device and two of its pipes, tick Active, and
// talk to the device: typed characters go to the OUT pipe, what the IN pipe brings
// shows as text in Memo1 and as hexadecimal codes in Memo2.
#pragma once

#include <string>

#include "framework/forms.h"
#include "lib/pxcommbox.h"
#include "lib/pxusb.h"
#include "lib/pxusbpipe.h"

// Asks for the platform's themed look of the controls; the look comes with the
// program's manifest, so the component itself does nothing.
class TXPManifest : public TComponent {
 public:
  using TComponent::TComponent;
  static const TClassInfo& ClassInfo();
};

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* owner);
  static const TClassInfo& ClassInfo();

  TpxUSB* pxUSB1 = nullptr;
  TpxDeviceBox* pxDeviceBox1 = nullptr;
  TLabel* Label1 = nullptr;
  TpxUSBPipePair* pxUSBPipePair1 = nullptr;
  TLabel* Label2 = nullptr;
  TComboBox* ePipeIn = nullptr;
  TComboBox* ePipeOut = nullptr;
  TLabel* Label3 = nullptr;
  TLabel* Label4 = nullptr;
  TCheckBox* CheckBox1 = nullptr;
  TLabel* Label5 = nullptr;
  TMemo* Memo1 = nullptr;
  TMemo* Memo2 = nullptr;
  TXPManifest* XPManifest1 = nullptr;

  void pxDeviceBox1Change(TObject* Sender);
  void CheckBox1Click(TObject* Sender);
  // Runs on the reader thread.
  void pxUSBPipePair1AfterReceive(TObject* Com, void* Buffer, DWORD Received);
  // The pair stopped on its own (the device stalled for good or left): it has closed;
  // Active unticks, and the reason shows as an error message.
  void pxUSBPipePair1FatalError(TObject* Sender, DWORD ErrorCode, DWORD Detail, const std::string& ErrorMsg,
                                bool& RaiseException);

 private:
  void WMDeviceChange(TMessage& Message);
  // Fills the pipe lists from the selected device anew, choosing the pipes at these
  // positions (-1: none).
  void ShowPipes(std::int32_t in, std::int32_t out);
};

// The hex line of a received block: two upper-case digits and a space per byte.
std::string HexLine(const void* buffer, DWORD count);
