#include "model/string_table.h"

#include "host/tarsel_sub.h"

namespace dravik {

namespace {
const char* const kStrings[kLastEditorString - kFirstEditorString + 1] = {
    "스테이션 이름이 설정되지 않았습니다.",
    "같은 이름의 스테이션이 이미 사용되었습니다.",
    "국번이 다른 스테이션과 중복되어 설정되었습니다.",
    "어드레스가 잘못 설정되었습니다.",
    "지정된 어드레스 영역이 다른 블록과 중복됩니다.",
    "지정된 어드레스 영역이 설정 범위를 벗어났습니다.",
    "선택된 통신블록을 삭제하시겠습니까?",
    "국번이 잘못 설정되었습니다.",
    "선택된 스테이션을 삭제하면 스테이션에 설정된 통신블록도 같이 삭제됩니다.\r\n삭제하시겠습니까?",
    "데이터가 변경되었습니다.  저장하시겠습니까?",
    "워드 수가 잘못 설정되었습니다.",
};
}  // namespace

const char* EditorString(int id) {
  if (id < kFirstEditorString || id > kLastEditorString) return nullptr;
  return kStrings[id - kFirstEditorString];
}

void RegisterEditorStrings() {
  for (int id = kFirstEditorString; id <= kLastEditorString; ++id) {
    CTarselError::RegisterString(id, EditorString(id));
  }
}

void UnregisterEditorStrings() {
  for (int id = kFirstEditorString; id <= kLastEditorString; ++id) {
    CTarselError::UnregisterString(id);
  }
}

}  // namespace dravik
