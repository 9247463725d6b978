// keystone-desktop-auth: the engine's desktop authentication program. The engine verifies its
// signature and starts it on the console's graphical session, as that session's user:
//
//   keystone-desktop-auth USER-SID REQUEST
//
// It shows who asks and what, and ends with 0 only when the person at the console confirms.
// Exit status: 0 confirmed; 1 denied or closed; 2 wrong arguments; 3 no display could be opened.

#include <pwd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "platform/accounts.h"
#include "platform/sid.h"

namespace {

constexpr int kConfirmed = 0;
constexpr int kDenied = 1;
constexpr int kUsage = 2;
constexpr int kNoDisplay = 3;
// The request text comes from the caller: shown as plain text, valid UTF-8, and not too much.
constexpr size_t kMaxRequestShown = 512;

// Who the SID names, as far as this machine can tell.
std::string DescribeUser(const std::string& sid) {
  const std::optional<platform::Sid> parsed = platform::ParseSid(sid);
  if (!parsed) return "an unreadable user identity (" + sid + ")";
  if (parsed == platform::ParseSid(platform::kLocalSystemSid)) return "the system (" + sid + ")";
  if (parsed->subAuthorities.empty()) return "an unknown account (" + sid + ")";
  const uint32_t uid = parsed->subAuthorities.back();
  try {
    if (platform::ParseSid(platform::LocalAccountSid(platform::posix::ThisMachineSidAuthorities(),
                                                     uid)) != parsed) {
      return "an account of another machine (" + sid + ")";
    }
  } catch (const std::exception&) {
    return "an account this machine cannot check (" + sid + ")";
  }
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return "a local account without a name (" + sid + ")";
  }
  return std::string(found->pw_name) + " (" + sid + ")";
}

std::string Shown(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  std::string shown = valid;
  g_free(valid);
  if (shown.size() > kMaxRequestShown) {
    // Cut at a character boundary.
    const gchar* end = g_utf8_find_prev_char(shown.c_str(), shown.c_str() + kMaxRequestShown);
    shown.resize(end ? static_cast<size_t>(end - shown.c_str()) : 0);
    shown += "…";
  }
  return shown;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: keystone-desktop-auth USER-SID REQUEST\n");
    return kUsage;
  }
  const std::string who = DescribeUser(argv[1]);
  const std::string request = Shown(argv[2]);
  // GTK is not given the arguments: they come from a client, and GTK would read options
  // (--gtk-module among them) from them.
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "keystone-desktop-auth: cannot open the display\n");
    return kNoDisplay;
  }
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                             GTK_BUTTONS_NONE, "%s",
                                             "Confirm this authentication request?");
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "For: %s\nRequest: %s",
                                           who.c_str(), request.c_str());
  gtk_dialog_add_buttons(GTK_DIALOG(dialog), "_Deny", GTK_RESPONSE_REJECT, "_Confirm",
                         GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_REJECT);
  gtk_window_set_title(GTK_WINDOW(dialog), "Keystone authentication");
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ALWAYS);
  const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response == GTK_RESPONSE_ACCEPT ? kConfirmed : kDenied;
}
