#include <gtest/gtest.h>

#include "common/ResultCodes.h"

namespace velko {
namespace {

TEST(EquipmentErrorText, FollowsTheDescriptionTableFallbackOrder) {
  EXPECT_EQ(EquipmentErrorText(0, L"что-то", L""), L"Нет ошибок");
  EXPECT_EQ(EquipmentErrorText(1007, L"Сервер молчит", L""), L"Сервер молчит");
  EXPECT_EQ(EquipmentErrorText(1007, L"", L""), L"Устройство не отвечает");
  EXPECT_EQ(EquipmentErrorText(3016, L"", L""), L"Неизвестная ошибка");
  EXPECT_EQ(EquipmentErrorText(3016, L"", L"Своё"), L"Своё");
  EXPECT_EQ(EquipmentErrorText(-5, L"", L""), L"Неизвестная ошибка");
  EXPECT_EQ(EquipmentErrorText(-5, L"Отрицательный", L""), L"Отрицательный");
  EXPECT_EQ(EquipmentErrorText(2001, L"", L""), EquipmentErrorText(8001, L"", L""));
  EXPECT_EQ(EquipmentErrorText(1001, L"", L"x"), L"Неизвестная ошибка");
}

TEST(EquipmentErrorText, TableTextsAreTheStandardOnes) {
  const std::pair<int32_t, const wchar_t*> samples[] = {
      {70, L"Устройство не включено"},
      {74, L"Истек таймаут ожидания"},
      {201, L"Операция отменена пользователем"},
      {1003, L"Команда не поддерживается устройством"},
      {1019, L"Использование более одного экземпляра устройства одновременно невозможно"},
      {3025, L"Недопустимо сочетание налогов 20% и 18% в одном документе"},
      {4003, L"Операция не была одобрена"},
      {4005, L"Статус выполнения транзакции не определен"},
      {4008, L"Pinpad не вернул текст чека"},
      {6001, L"Запрошенные данные отсутствуют"},
      {16002, L"Кофемашина в сосотояни ожидания запроса на приготовление продукта"},
      {99001, L"Ошибок нет"},
      {99115, L"Специфичная для данного класса устройств ошибка. Расширенная информация в дополнительном описании ошибки"},
  };
  for (const auto& [code, text] : samples) EXPECT_EQ(EquipmentErrorText(code, L"", L""), text) << code;
  for (int32_t missing : {1, 1021, 2002, 3016, 3029, 4009, 99002, 99116})
    EXPECT_EQ(EquipmentErrorTableText(missing), nullptr) << missing;
}

TEST(TerminalResultText, ExtendedDescriptionThenGeneralThenTerminalTable) {
  EXPECT_EQ(TerminalResultText(0, L"05 ОТКАЗ"), L"05 ОТКАЗ");
  EXPECT_EQ(TerminalResultText(4568, L"Свой текст"), L"Свой текст");
  EXPECT_EQ(TerminalResultText(4500, L""), L"Неизвестная ошибка");
  EXPECT_EQ(TerminalResultText(4508, L""), L"Неизвестная ошибка");
  EXPECT_EQ(TerminalResultText(4568, L""), L"Ошибка чтения нумератора");
  EXPECT_EQ(TerminalResultText(70, L""), L"Устройство не включено");
  EXPECT_EQ(TerminalResultText(0, L""), L"Нет ошибок");
  EXPECT_EQ(TerminalResultText(4501, L""), L"Ошибка блокировки нумератора. Терминал занят другим пользователем");
  EXPECT_EQ(TerminalResultText(4502, L""), L"Не удалось запустить сервер");
  EXPECT_EQ(TerminalResultText(4503, L""), L"Отказано");
  EXPECT_EQ(TerminalResultText(4504, L""), L"Чек с таким номером уже существует");
  EXPECT_EQ(TerminalResultText(4505, L""), L"Результат транзакции неизвестен");
  EXPECT_EQ(TerminalResultText(4506, L""), L"Ответ не получен");
  EXPECT_EQ(TerminalResultText(4507, L""), L"Чек с указанным номером отсутствует");
}

}  // namespace
}  // namespace velko
