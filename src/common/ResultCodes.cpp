#include "common/ResultCodes.h"

namespace velko {

const wchar_t* TerminalTableText(int32_t Code) {
  switch (Code) {
    case 4501: return L"Ошибка блокировки нумератора. Терминал занят другим пользователем";
    case 4502: return L"Не удалось запустить сервер";
    case 4503: return L"Отказано";
    case 4504: return L"Чек с таким номером уже существует";
    case 4505: return L"Результат транзакции неизвестен";
    case 4506: return L"Ответ не получен";
    case 4507: return L"Чек с указанным номером отсутствует";
    case 4568: return L"Ошибка чтения нумератора";
    default: return nullptr;
  }
}

std::wstring EquipmentErrorText(int32_t Code, const std::wstring& Description,
                                const std::wstring& DefaultText) {
  if (!Description.empty() && Code != rc::kOk) return Description;
  if (const wchar_t* text = EquipmentErrorTableText(Code)) return text;
  return DefaultText.empty() ? kUnknownErrorText : DefaultText;
}

std::wstring TerminalResultText(int32_t Code, const std::wstring& ExtDescription) {
  if (!ExtDescription.empty()) return ExtDescription;
  const wchar_t* text = Code < rc::kNumeratorBusy ? EquipmentErrorTableText(Code) : TerminalTableText(Code);
  return text ? text : kUnknownErrorText;
}

}  // namespace velko
