#include "lib/pxcommbox.h"

TpxDeviceBox::TpxDeviceBox(TComponent* owner) : TCustomComboBox(owner) { SetStyle(csDropDownList); }

TpxDeviceBox::~TpxDeviceBox() {
  if (link_) link_->RemoveNotify(Handler());
}

void TpxDeviceBox::SetpxLink(TpxBaseIO* link) {
  Items().Clear();
  SetItemIndex(-1);
  // Re-reading the same component (code 3) keeps the handler where it is: the
  // component may be walking its notify list right now.
  if (link_ && link_ != link) link_->RemoveNotify(Handler());
  if (link) {
    link->GetDevices(&Items());
    int index = link->GetDeviceIndex();
    SetItemIndex(index >= 0 && index < Items().Count() ? index : -1);
    link->AddNotify(Handler());
    FreeNotification(link);
  }
  link_ = link;
}

void TpxDeviceBox::Change() {
  if (!link_) return;
  // The component tells us (code 3) when it takes the position: the entries and the
  // selection are re-read before OnChange runs.
  link_->SetDeviceIndex(ItemIndex());
  TCustomComboBox::Change();
}

void TpxDeviceBox::LinkNotify(TpxBaseIO*, std::int32_t code) {
  if (code == pxnDevicesChanged) UpdateItems();
}

void TpxDeviceBox::Notification(TComponent* component, TOperation operation) {
  TCustomComboBox::Notification(component, operation);
  if (operation != opRemove || !component || component != link_) return;
  // The entries stay; what they point to may be gone with the component. A box
  // without its window (its form going) has nothing selected anyway.
  link_ = nullptr;
  if (HandleAllocated()) SetItemIndex(-1);
}

bool TpxDeviceBox::DeviceChange(TMessage& message) { return link_ ? link_->DeviceChange(message) : false; }

const TClassInfo& TpxDeviceBox::ClassInfo() {
  // Published below the combo box's own table: Style and Items are not published,
  // the style is fixed and the entries come from the link.
  static const TClassInfo info = TClassInfo::Of<TpxDeviceBox, TWinControl>("TpxDeviceBox", [](TClassInfo& c) {
    c.Property("pxLink", &TpxDeviceBox::pxLink, &TpxDeviceBox::SetpxLink)
        .Property("ResetOnChanged", &TpxDeviceBox::ResetOnChanged, &TpxDeviceBox::SetResetOnChanged)
        .Property("DropDownCount", &TCustomComboBox::DropDownCount, &TCustomComboBox::SetDropDownCount)
        .Property("ItemHeight", &TCustomComboBox::ItemHeight, &TCustomComboBox::SetItemHeight)
        .Property("Sorted", &TCustomComboBox::Sorted, &TCustomComboBox::SetSorted)
        .Member("OnChange", &TCustomComboBox::OnChange);
  });
  return info;
}
