// The application object and its start-up sequence: privilege, bank profile and global configuration,
// the single-instance message and mutex, the "-t" mode, the server-address file, then the dispatcher.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel_objects.h"

// The Downloader's application object; one lives for the whole process.
//
// The classic framework's application class it stands for contributes nothing the Downloader uses: no
// main window of its own, no message loop besides those of the modal dialogs, no help file (the Help
// command of its message map has nothing to open), and no profile settings under its registry key.
class CDownloaderApp {
 public:
  // commandLine: the whole text after the program name (see CommandLineFromArguments).
  explicit CDownloaderApp(std::string commandLine);
  virtual ~CDownloaderApp();

  CDownloaderApp(const CDownloaderApp&) = delete;
  CDownloaderApp& operator=(const CDownloaderApp&) = delete;

  // The start-up sequence. Always false: the application ends after it. Some steps end the process
  // themselves, always with exit code 0 (a second instance; a short server-address file).
  virtual bool InitInstance();

  const std::string& CommandLine() const { return m_commandLine; }

  // The framework's registry key name, as start-up sets it. The Downloader stores no profile settings,
  // so nothing is ever written below it.
  const std::string& RegistryKey() const { return m_registryKey; }

  // Id of the registered single-instance window message; 0 until registered.
  std::uint32_t m_detectMsgId = 0;

 private:
  std::string m_commandLine;
  std::string m_registryKey;
  // The single-instance mutex, kept open until the process ends.
  std::unique_ptr<platform::MutexHandle> m_singleInstance;
};

// The command line as Windows passes it to a program, built from the arguments after the program name:
// joined by single blanks, leading blanks skipped; blanks inside an argument (also trailing ones) are
// kept, so "-t " given as one argument stays "-t ". Quotes the arguments may have had are gone.
std::string CommandLineFromArguments(const std::vector<std::string>& arguments);

// Test hook: when the environment variable VODA_TEST_STARTUP_REPORT is set (to anything), start-up
// writes one line to standard error when it reaches the dispatcher, with the command line and the
// server address it would use:
//   startup: dispatch command=[...] baseUrl=[...] pathPrefix=[...] queryPath=[...]
// End-to-end tests use it to see how far start-up went; without the variable nothing is written.
constexpr const char* kStartupReportVariable = "VODA_TEST_STARTUP_REPORT";
