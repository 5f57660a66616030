// Listening to a ring tone from the window: the file is read, decoded and
// handed to FluidSynth on a worker thread, and FluidSynth plays it on its own
// audio thread, so the window's thread never waits for either. The outcome
// comes back as signals on the window's thread.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tonvell::audio {
class Playback;
}

namespace tonvell::ui {

class PreviewPlayer : public QObject {
  Q_OBJECT
 public:
  explicit PreviewPlayer(QObject* parent = nullptr);
  // Stops playing and waits for a file still being prepared.
  ~PreviewPlayer() override;

  // Plays the MFi file at `path` (bytes, as the log and the batch run hold
  // paths), after stopping whatever plays. Returns at once; started() or
  // failed() follows.
  void play(const std::string& path);
  // Stops at once; a file still being prepared is dropped when it is ready.
  void stop();
  // Playing, or preparing to play.
  bool active() const;

 signals:
  void started(const QString& path);
  // Why the file cannot be played, in one line; `noAudioOutput` when the
  // file was fine but no audio output could be opened.
  void failed(const QString& reason, bool noAudioOutput);
  // The ring tone and its release are over (not sent after stop()).
  void finished();

 private:
  struct Job;
  void prepared(const std::shared_ptr<Job>& job);
  void reap();

  std::shared_ptr<Job> job_;                      // the latest play()
  std::unique_ptr<audio::Playback> playback_;     // what sounds now
  std::vector<std::pair<std::shared_ptr<Job>, std::thread>> workers_;
};

}  // namespace tonvell::ui
