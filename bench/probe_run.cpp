// Measures from outside how quickly a window answers: finds the top-level window whose
// title is TITLE, then for SECONDS sends it WM_GETTEXT every 50 ms from this process
// and times each answer (a send that takes longer than 5 s counts as 5 s).
//   probe_run TITLE [SECONDS]
// Prints the count, p50, p99 and maximum in milliseconds, and the text of the first
// child window whose text starts with "Received" (the demo's byte count and rate).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: probe_run TITLE [SECONDS]\n");
    return 2;
  }
  using Clock = std::chrono::steady_clock;
  int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
  HWND window = nullptr;
  for (int i = 0; i < 600 && !window; ++i) {
    window = FindWindowA(nullptr, argv[1]);
    if (!window) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!window) {
    std::fprintf(stderr, "probe_run: no window \"%s\"\n", argv[1]);
    return 1;
  }
  std::vector<double> answers;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    char title[256];
    DWORD_PTR result = 0;
    auto start = Clock::now();
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof title, reinterpret_cast<LPARAM>(title), SMTO_NORMAL, 5000,
                        &result);
    answers.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::sort(answers.begin(), answers.end());
  auto at = [&](double q) { return answers[std::min(answers.size() - 1, static_cast<size_t>(q * answers.size()))]; };
  std::printf("answers %zu p50 %.1f ms p99 %.1f ms max %.1f ms\n", answers.size(), at(0.5), at(0.99), answers.back());
  EnumChildWindows(
      window,
      [](HWND child, LPARAM) -> BOOL {
        char text[256] = {};
        GetWindowTextA(child, text, sizeof text);
        if (std::strncmp(text, "Received", 8) != 0) return TRUE;
        std::printf("%s\n", text);
        return FALSE;
      },
      0);
  return 0;
}
