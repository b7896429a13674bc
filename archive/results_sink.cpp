#include "archive/results_sink.h"

namespace velorix {

PosixResultsSink::PosixResultsSink(std::function<bool()> interrupted)
    : file_(SafeReplace::Options{true, std::move(interrupted)}) {}

bool PosixResultsSink::Open(const std::string& path) { return file_.Open(path); }

bool PosixResultsSink::Write(std::string_view chunk) { return file_.Write(chunk); }

bool PosixResultsSink::Close() { return file_.Commit(); }

void PosixResultsSink::Abandon() { file_.Cancel(); }

std::string PosixResultsSink::Error() const { return file_.Error(); }

}  // namespace velorix
