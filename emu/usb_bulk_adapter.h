// The controller's Bulk-Only interface as a USB front sees it (UsbBulkFunction), made from
// the transfer-level BulkOnlyDevice: every OUT transfer is taken, an IN transfer is
// answered when the device has something to send and waits otherwise. It has no halts
// of its own: a reset of any kind starts the device afresh.
#pragma once
#include <memory>

#include "emu/bulk_only_device.h"
#include "emu/usb_function.h"

namespace emu {

class BulkOnlyUsbFunction : public UsbBulkFunction {
public:
    explicit BulkOnlyUsbFunction(Model& model) : model_(model), device_(std::make_unique<BulkOnlyDevice>(model)) {}

    UsbStatus Out(std::span<const uint8_t> data) override;
    UsbStatus In(size_t capacity, std::vector<uint8_t>* data) override;
    void ClearHalt(uint8_t) override {}
    void ClassReset() override { device_ = std::make_unique<BulkOnlyDevice>(model_); }
    void BusReset() override { device_ = std::make_unique<BulkOnlyDevice>(model_); }

private:
    Model& model_;
    std::unique_ptr<BulkOnlyDevice> device_;
};

}  // namespace emu
