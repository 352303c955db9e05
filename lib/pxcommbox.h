// The device box: a drop-down list that shows the device list of a linked I/O
// component, selects its DeviceIndex and writes the user's pick back. Main thread only.
#pragma once

#include "framework/controls.h"
#include "lib/pxclasses.h"

class TpxDeviceBox : public TCustomComboBox {
 public:
  // A drop-down list: the user picks, and cannot type.
  explicit TpxDeviceBox(TComponent* owner);
  ~TpxDeviceBox() override;
  static const TClassInfo& ClassInfo();

  TpxBaseIO* pxLink() const { return link_; }
  // Re-reads the entries and the selection of `link` (none: empties the box).
  void SetpxLink(TpxBaseIO* link);
  // Stored only, so that descriptions that carry it load.
  bool ResetOnChanged() const { return resetOnChanged_; }
  void SetResetOnChanged(bool value) { resetOnChanged_ = value; }
  void UpdateItems() { SetpxLink(link_); }
  // Routes a device-change broadcast to the linked component.
  virtual bool DeviceChange(TMessage& message);

 protected:
  void Change() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  void LinkNotify(TpxBaseIO* sender, std::int32_t code);
  TpxNotifyHandler Handler() { return TpxNotifyHandler::Of<&TpxDeviceBox::LinkNotify>(this); }

  TpxBaseIO* link_ = nullptr;
  bool resetOnChanged_ = false;
};
