#include "alarms/AlarmFileWriter.h"

#include <stdexcept>
#include <utility>

namespace qtx::alarms {

namespace {
constexpr const char* kFileLocation = "Error Saving Alarms";
}

AlarmFileWriter::AlarmFileWriter(std::string path, ErrorLog errorLog)
    : path_(std::move(path)), errorLog_(std::move(errorLog)), thread_([this] { Run(); }) {}

AlarmFileWriter::~AlarmFileWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void AlarmFileWriter::Write(AlarmList list) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_ = std::move(list);
    }
    wake_.notify_one();
}

void AlarmFileWriter::Flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    written_.wait(lock, [this] { return !waiting_ && !writing_; });
}

void AlarmFileWriter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return waiting_ || stopping_; });
        if (!waiting_)
            return;  // stopping, and nothing left to write
        AlarmList list = std::move(*waiting_);
        waiting_.reset();
        writing_ = true;
        lock.unlock();
        try {
            SaveAlarmFile(path_, list);
            failing_ = false;
        } catch (const std::exception& e) {
            // Once until a write works again: every change would otherwise repeat it.
            if (errorLog_ && !failing_)
                errorLog_(kFileLocation, e.what());
            failing_ = true;
        }
        lock.lock();
        writing_ = false;
        written_.notify_all();
    }
}

}  // namespace qtx::alarms
