// Scripted stand-ins for the editor's views: a control map, a tree that
// reports selection changes like the real one, and a configuration dialog
// view whose sub-dialogs and questions are answered by the test. They record
// what a user would see (texts, enabled buttons, questions, error boxes).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "editor/comm_block_dlg.h"
#include "editor/config_dlg.h"
#include "editor/editor_views.h"
#include "editor/station_dlg.h"
#include "host/tarsel_sub.h"

namespace dravik::test {

// Every error box shown through the host's error box while it is alive.
class ErrorRecorder {
 public:
  struct Shown {
    int id;
    int flags;
    std::string text;
  };
  ErrorRecorder() { CTarselError::InstallHandler(&ErrorRecorder::Handle, this); }
  ~ErrorRecorder() { CTarselError::InstallHandler(nullptr, nullptr); }
  std::vector<Shown> shown;
  std::vector<int> Ids() const {
    std::vector<int> ids;
    for (const auto& s : shown) ids.push_back(s.id);
    return ids;
  }

 private:
  static void Handle(void* context, int id, int flags, const char* message) {
    static_cast<ErrorRecorder*>(context)->shown.push_back({id, flags, message ? message : ""});
  }
};

class FakeControls : public IControlView {
 public:
  std::string GetText(int id) override { return texts[id]; }
  void SetText(int id, const std::string& text) override { texts[id] = text; }
  int GetCurSel(int id) override { return sel.count(id) ? sel[id] : -1; }
  void SetCurSel(int id, int index) override {
    const int size = static_cast<int>(lists[id].size());
    // A list without that entry (or index -1) ends up with no selection,
    // except for lists whose entries the dialog resource provides.
    if (fixed_lists.count(id)) {
      sel[id] = (index >= 0 && index < fixed_lists[id]) ? index : -1;
    } else {
      sel[id] = (index >= 0 && index < size) ? index : -1;
    }
  }
  void AddString(int id, const std::string& text) override { lists[id].push_back(text); }
  int GetCheck(int id) override { return checks[id]; }
  void SetCheck(int id, int checked) override { checks[id] = checked; }
  void EnableWindow(int id, bool enabled) override { enabled_[id] = enabled; }
  void SetSpinRange(int id, int lower, int upper) override { ranges[id] = {lower, upper}; }
  void SetFloatSpin(int id, float lower, float upper, float step) override {
    float_spin[id] = {lower, upper, step};
  }
  void SetFocus(int id) override { focus = id; }
  void ShowPrompt(const std::string& text) override { prompts.push_back(text); }

  std::map<int, std::string> texts;
  std::map<int, int> sel;
  std::map<int, int> fixed_lists;  // id -> number of resource entries
  std::map<int, std::vector<std::string>> lists;
  std::map<int, int> checks;
  std::map<int, bool> enabled_;
  std::map<int, std::pair<int, int>> ranges;
  std::map<int, std::vector<float>> float_spin;
  int focus = 0;
  std::vector<std::string> prompts;
};

class FakeTree : public ITreeView {
 public:
  struct Node {
    std::string text;
    int image = 0;
    Node* parent = nullptr;
    void* data = nullptr;
    std::vector<Node*> children;
    bool expanded = false;
  };

  explicit FakeTree(CStationPage* page) : page_(page) {}

  void SetRedraw(bool on) override { redraw_calls.push_back(on); }
  void DeleteAllItems() override {
    roots.clear();
    SetSelected(nullptr);
  }
  TreeItem InsertItem(const std::string& text, int image, TreeItem parent, void* data) override {
    nodes_.push_back(std::make_unique<Node>());
    Node* n = nodes_.back().get();
    n->text = text;
    n->image = image;
    n->data = data;
    n->parent = static_cast<Node*>(parent);
    (n->parent ? n->parent->children : roots).push_back(n);
    return n;
  }
  void SetItemText(TreeItem item, const std::string& text) override {
    static_cast<Node*>(item)->text = text;
  }
  void SelectItem(TreeItem item) override { SetSelected(static_cast<Node*>(item)); }
  TreeItem GetSelectedItem() override { return selected; }
  int GetItemImage(TreeItem item) override { return static_cast<Node*>(item)->image; }
  void* GetItemData(TreeItem item) override { return static_cast<Node*>(item)->data; }
  TreeItem GetParentItem(TreeItem item) override { return static_cast<Node*>(item)->parent; }
  void DeleteItem(TreeItem item) override {
    Node* n = static_cast<Node*>(item);
    auto& siblings = n->parent ? n->parent->children : roots;
    size_t pos = 0;
    while (pos < siblings.size() && siblings[pos] != n) ++pos;
    const bool lost_selection = Contains(n, selected);
    siblings.erase(siblings.begin() + static_cast<long>(pos));
    if (!lost_selection) return;
    // Like the tree control: the next sibling, else the previous, else the
    // parent gets the selection.
    Node* next = nullptr;
    if (pos < siblings.size()) {
      next = siblings[pos];
    } else if (pos > 0) {
      next = siblings[pos - 1];
    } else {
      next = n->parent;
    }
    SetSelected(next);
  }
  void Expand(TreeItem item) override { static_cast<Node*>(item)->expanded = true; }

  // Simulates a user's click on an item.
  void Click(Node* n) { SetSelected(n); }

  Node* Root() const { return roots.empty() ? nullptr : roots.front(); }
  std::vector<std::string> Texts(const Node* parent) const {
    std::vector<std::string> out;
    for (const Node* c : parent ? parent->children : roots) out.push_back(c->text);
    return out;
  }

  std::vector<Node*> roots;
  Node* selected = nullptr;
  std::vector<bool> redraw_calls;

 private:
  static bool Contains(const Node* n, const Node* target) {
    if (n == target) return true;
    for (const Node* c : n->children) {
      if (Contains(c, target)) return true;
    }
    return false;
  }
  void SetSelected(Node* n) {
    selected = n;
    page_->OnSelChanged(n);
  }

  CStationPage* page_;
  std::vector<std::unique_ptr<Node>> nodes_;
};

// One try of a sub-dialog: fill the fields, then press OK (or cancel).
struct DialogTry {
  std::map<int, std::string> texts;
  int area = -2;  // -2: leave the list as the dialog set it
  bool cancel = false;
};

class FakeConfigView : public IConfigView {
 public:
  explicit FakeConfigView(CConfigDlg& dlg) : dlg_(dlg) { port.fixed_lists[kIdBaudList] = 7; }

  void EnableButton(int id, bool enabled) override { buttons[id] = enabled; }
  void AddPage(int page) override {
    pages.push_back(page);
    if (page == kStationPageIndex) {
      tree = std::make_unique<FakeTree>(&dlg_.StationPage());
      dlg_.StationPage().OnInitDialog(tree.get());
    } else if (create_port_page) {
      dlg_.PortPage().OnInitDialog(&port);
    }
  }
  void SetActivePage(int page) override {
    if (active >= 0) {
      (active == kStationPageIndex ? ShowStation(false) : ShowPort(false));
    }
    active = page;
    (page == kStationPageIndex ? ShowStation(true) : ShowPort(true));
  }
  bool AskYesNo(int string_id) override {
    questions.push_back(string_id);
    if (answers.empty()) return false;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
  int RunStationDlg(CStationDlg& dlg) override {
    ++station_dialogs;
    FakeControls controls;
    dlg.OnInitDialog(&controls);
    last_station_init = controls.texts;
    return RunTries(controls, station_tries, [&] { return dlg.OnOK(); });
  }
  int RunBlockDlg(CCommBlockDlg& dlg) override {
    ++block_dialogs;
    FakeControls controls;
    controls.fixed_lists[kIdArea] = 8;
    dlg.OnInitDialog(&controls);
    last_block_init = controls.texts;
    last_block_area = controls.GetCurSel(kIdArea);
    last_block_station = dlg.Station();
    return RunTries(controls, block_tries, [&] { return dlg.OnOK(); });
  }
  void EndDialog(int result) override { ended = result; }

  // A user's choice in the port page's lists and boxes; the user brings the
  // page up first.
  void UserSelect(int id, int index) {
    if (active != kPortPageIndex) SetActivePage(kPortPageIndex);
    port.SetCurSel(id, index);
    dlg_.PortPage().OnControlChanged(id);
  }
  void UserToggle(int id) {
    if (active != kPortPageIndex) SetActivePage(kPortPageIndex);
    port.checks[id] = port.checks[id] ? 0 : 1;
    dlg_.PortPage().OnControlChanged(id);
  }
  // A click on radio button `id` of the group that starts at `first_id`.
  void UserRadio(int first_id, int count, int id) {
    if (active != kPortPageIndex) SetActivePage(kPortPageIndex);
    for (int i = first_id; i < first_id + count; ++i) port.checks[i] = i == id ? 1 : 0;
    dlg_.PortPage().OnControlChanged(id);
  }
  void DoubleClick() { dlg_.StationPage().OnDblClick(); }

  std::map<int, bool> buttons;
  std::vector<int> pages;
  int active = -1;
  std::unique_ptr<FakeTree> tree;
  FakeControls port;
  bool create_port_page = true;
  std::vector<int> questions;
  std::deque<bool> answers;
  std::deque<DialogTry> station_tries;
  std::deque<DialogTry> block_tries;
  int station_dialogs = 0;
  int block_dialogs = 0;
  std::map<int, std::string> last_station_init;
  std::map<int, std::string> last_block_init;
  int last_block_area = -2;
  CStationInfoDVK* last_block_station = nullptr;
  std::vector<int> error_focus;  // focus after each refused OK
  int ended = 0;

 private:
  void ShowStation(bool visible) { dlg_.StationPage().OnShow(visible); }
  void ShowPort(bool visible) { dlg_.PortPage().OnShow(visible); }

  int RunTries(FakeControls& controls, std::deque<DialogTry>& tries,
               const std::function<bool()>& ok) {
    while (!tries.empty()) {
      DialogTry t = tries.front();
      tries.pop_front();
      if (t.cancel) return kIdCancel;
      for (const auto& [id, text] : t.texts) controls.texts[id] = text;
      if (t.area != -2) controls.sel[kIdArea] = t.area;
      if (ok()) return kIdOk;
      error_focus.push_back(controls.focus);
    }
    return kIdCancel;
  }

  CConfigDlg& dlg_;
};

// Runs the configuration dialog through a FakeConfigView and a script.
class ScriptedFace : public IEditorFace {
 public:
  std::function<void(CConfigDlg&, FakeConfigView&)> script;
  int runs = 0;
  void RunConfigDlg(CConfigDlg& dlg) override {
    ++runs;
    FakeConfigView view(dlg);
    dlg.OnInitDialog(&view);
    if (script) script(dlg, view);
  }
};

}  // namespace dravik::test
