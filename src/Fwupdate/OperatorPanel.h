// What an update procedure and the chip check see of the window: the option
// boxes they read, the file names, the status field, pending-event
// processing and modal messages. The Qt window implements it with its
// widgets; the tests and the command-line tool without any window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace v62x {

class OperatorPanel {
public:
    virtual ~OperatorPanel() = default;

    // Option boxes.
    virtual bool RdVersionChecked() const = 0;
    virtual bool EraseOnlyChecked() const = 0;
    virtual bool BackupOnlyChecked() const = 0;
    virtual bool IncludeNvramChecked() const = 0;
    virtual void SetIncludeNvramChecked(bool checked) = 0;
    virtual bool A1ChipChecked() const = 0;
    virtual bool CheckSumChecked() const = 0;

    // File names as the operator gave them.
    virtual std::string FirmwareFileName() const = 0;
    virtual std::string BackupFileName() const = 0;

    // The status field.
    virtual void SetStatus(const std::string& text) = 0;
    virtual void AppendStatusDot() = 0;
    virtual std::string Status() const = 0;
    // Lets the window handle what is pending (repaints, device events).
    virtual void ProcessPendingEvents() = 0;
    // Redraws only the status field.
    virtual void RepaintStatus() = 0;
    // How far the main block loop of a procedure is: bytes or blocks done
    // out of those planned. Shown by the window's progress bar.
    virtual void SetProgress(std::uint64_t /*done*/, std::uint64_t /*planned*/) {}

    // A modal message with an OK button; title "Message" or "Error".
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;

    // The Run button, for work that must not be started twice while it runs.
    virtual bool RunButtonEnabled() const { return false; }
    virtual void SetRunButtonEnabled(bool) {}
};

// The option boxes and file names a run reads, as one record: a run takes
// them once at its start, a panel without a window holds them as fields.
struct PanelOptions {
    bool rdVersion = false;
    bool eraseOnly = false;
    bool backupOnly = false;
    bool includeNvram = false;
    bool a1Chip = false;
    bool checkSum = false;
    std::string firmwareFile;
    std::string backupFile;
};

// Disables the Run button for its lifetime and restores what it was.
class RunButtonHold {
public:
    explicit RunButtonHold(OperatorPanel& panel) : panel_(panel), was_(panel.RunButtonEnabled()) {
        panel_.SetRunButtonEnabled(false);
    }
    ~RunButtonHold() { panel_.SetRunButtonEnabled(was_); }
    RunButtonHold(const RunButtonHold&) = delete;
    RunButtonHold& operator=(const RunButtonHold&) = delete;

private:
    OperatorPanel& panel_;
    bool was_;
};

// A panel without a window: options and names are plain fields, messages
// and status texts are recorded (tests, the command-line tool).
class RecordingPanel : public OperatorPanel, public PanelOptions {
public:
    struct Message {
        std::string title;
        std::string text;
    };

    std::string status;
    std::vector<std::string> statusHistory;  // every text set, in order
    std::vector<Message> messages;
    int pendingEventCalls = 0;
    int statusRepaints = 0;
    bool runEnabled = false;
    std::vector<bool> runChanges;  // every state the Run button was set to

    bool RdVersionChecked() const override { return rdVersion; }
    bool EraseOnlyChecked() const override { return eraseOnly; }
    bool BackupOnlyChecked() const override { return backupOnly; }
    bool IncludeNvramChecked() const override { return includeNvram; }
    void SetIncludeNvramChecked(bool checked) override { includeNvram = checked; }
    bool A1ChipChecked() const override { return a1Chip; }
    bool CheckSumChecked() const override { return checkSum; }
    std::string FirmwareFileName() const override { return firmwareFile; }
    std::string BackupFileName() const override { return backupFile; }
    void SetStatus(const std::string& text) override {
        status = text;
        statusHistory.push_back(text);
    }
    void AppendStatusDot() override { status += '.'; }
    std::string Status() const override { return status; }
    void ProcessPendingEvents() override { ++pendingEventCalls; }
    void RepaintStatus() override { ++statusRepaints; }
    void ShowMessage(const std::string& title, const std::string& text) override {
        messages.push_back({title, text});
    }
    bool RunButtonEnabled() const override { return runEnabled; }
    void SetRunButtonEnabled(bool enabled) override {
        runEnabled = enabled;
        runChanges.push_back(enabled);
    }
};

}  // namespace v62x
