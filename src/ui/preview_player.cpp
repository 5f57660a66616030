#include "ui/preview_player.h"

#include <QMetaObject>

#include <atomic>

#include "audio/performance.h"
#include "audio/synth.h"
#include "core/gbk.h"
#include "mfi/decode.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tonvell::ui {

// One play(): prepared on a worker, then owned by the window's thread.
struct PreviewPlayer::Job {
  std::string path;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> done{false};  // the worker has nothing more to do
  std::unique_ptr<audio::Playback> playback;  // set by the worker when it plays
  std::string error;
  bool noAudioOutput = false;
};

namespace {

// Reads, decodes and starts the file; false with the reason.
bool prepare(const std::string& path, audio::Playback& playback, std::function<void()> finished, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = sanitizeUtf8(path) + ": " + std::strerror(errno);
    return false;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const DecodedMfi decoded = decodeMfi(bytes);
  if (!decoded.ok) {
    *why = sanitizeUtf8(path) + ": " + decoded.error;
    return false;
  }
  const audio::Performance performance = audio::buildPerformance(decoded.midi);
  if (!performance.ok) {
    *why = sanitizeUtf8(path) + ": " + performance.error;
    return false;
  }
  return playback.start(performance, {}, std::move(finished), why);
}

}  // namespace

PreviewPlayer::PreviewPlayer(QObject* parent) : QObject(parent) {}

PreviewPlayer::~PreviewPlayer() {
  stop();
  for (auto& [job, worker] : workers_) {
    worker.join();
    job->playback.reset();  // prepared, but never taken over
  }
}

void PreviewPlayer::play(const std::string& path) {
  stop();
  reap();
  auto job = std::make_shared<Job>();
  job->path = path;
  job_ = job;
  // The worker reaches back only through queued calls, which Qt drops once
  // this object is gone; the destructor waits for the worker before that.
  std::thread worker([job, this] {
    auto playback = std::make_unique<audio::Playback>();
    auto onEnd = [job, this] {
      // On FluidSynth's audio thread; stop() deletes the audio driver, which
      // waits for this thread, before the player goes away.
      QMetaObject::invokeMethod(
          this,
          [this, job] {
            if (job_ == job) {
              playback_.reset();
              job_.reset();
              emit finished();
            }
          },
          Qt::QueuedConnection);
    };
    std::string error;
    if (!job->cancelled && prepare(job->path, *playback, onEnd, &error)) {
      job->playback = std::move(playback);
    } else {
      job->error = error;
      job->noAudioOutput = playback->noAudioOutput();
    }
    QMetaObject::invokeMethod(this, [this, job] { prepared(job); }, Qt::QueuedConnection);
    job->done = true;
  });
  workers_.emplace_back(job, std::move(worker));
}

void PreviewPlayer::prepared(const std::shared_ptr<Job>& job) {
  if (job != job_ || job->cancelled) {
    job->playback.reset();
    return;
  }
  if (!job->playback) {
    job_.reset();
    emit failed(QString::fromStdString(job->error), job->noAudioOutput);
    return;
  }
  playback_ = std::move(job->playback);
  emit started(QString::fromStdString(sanitizeUtf8(job->path)));
}

void PreviewPlayer::stop() {
  if (job_) job_->cancelled = true;
  job_.reset();
  playback_.reset();
}

bool PreviewPlayer::active() const { return job_ != nullptr; }

// Workers that are through are joined, so that the list does not grow.
void PreviewPlayer::reap() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->first->done) {
      it->second.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace tonvell::ui
