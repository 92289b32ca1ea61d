// One running wizard per user and display. The first start listens on a local socket in the
// abstract namespace (the kernel drops the name with the process, so a crash leaves nothing
// stale); a later start connects, asks the first to come to the front, and ends. UI thread only.
#pragma once

#include <QLocalServer>
#include <QString>
#include <functional>

namespace kavori::app {

// The socket name for this user on this display.
QString InstanceName();

class SingleInstanceGuard {
 public:
  explicit SingleInstanceGuard(QString name);

  // True when this process is the running wizard now and answers later starts; false when one
  // already ran and has been asked to come to the front. When no guard can be set up at all,
  // the tool runs unguarded (true).
  bool Claim();
  // Called on the UI thread, from the event loop, when a later start asks for the front.
  void OnComeForward(std::function<void()> handler) { comeForward_ = std::move(handler); }

 private:
  bool AskRunningInstance() const;
  void Answer();

  const QString name_;
  QLocalServer server_;
  std::function<void()> comeForward_;
};

}  // namespace kavori::app
