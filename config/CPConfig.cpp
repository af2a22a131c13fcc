// Account lookups and the default message table.
#include "config/CPConfig.h"

#include "common/TextConv.h"

namespace zel {
namespace {

struct DefaultMessage {
  const char16_t* type;
  const char16_t* description;
};

constexpr DefaultMessage kDefaultMessages[] = {
    {u"CMN.00001", u"Ошибка при контроле сообщения/выполнении операции"},
    {u"CMN.09999", u"Общая ошибка при работе системы"},
    {u"ED.11003", u"Требование на представление электронных документов, указанных в Описи"},
    {u"ED.11005",
     u"Перечень ошибок, выявленных в процессе проведения логического контроля сведений, заявленных в "
     u"электронной форме документа"},
    {u"CMN.11005", u"Уведомление о принятии решения по проведению таможенного контроля (осмотра) товаров"},
    {u"CMN.11007", u"Результаты таможенного контроля"},
    {u"CMN.11009", u"Регистрационный номер электронной декларации, дата и время завершения проверки"},
    {u"CMN.11010", u"Решение по электронной декларации. ИМ (контейнер)"},
    {u"CMN.11015", u"Уведомление о поступлении товаров на СВХ"},
    {u"CMN.11020", u"Решение о приостановлении выпуска товаров"},
    {u"CMN.11029",
     u"Уведомление о выявленных нарушениях / требование о переходе на общеустановленный порядок "
     u"декларирования."},
    {u"CMN.11031", u"Запрос инспектора на внесение изменений в сведения, заявленные в ДТ."},
    {u"CMN.11033", u"Решение по электронной декларации. ЭК (контейнер)"},
    {u"CMN.11064", u"Решение о корректировке таможенной стоимости"},
    {u"CMN.11065", u"Уведомление о проведении дополнительной проверки таможенной стоимости (контейнер)"},
    {u"CMN.11066", u"Уведомление о проведении дополнительной проверки по классификации товара (контейнер)"},
    {u"CMN.11067", u"Уведомление о проведении дополнительной проверки по стране происхождении товара (контейнер)"},
    {u"CMN.12002", u"Подтверждение регистрации предварительной информации"},
};
static_assert(std::size(kDefaultMessages) == 18);

template <typename Field>
std::shared_ptr<CPConfigAccount> FindAccount(const CPConfig& config, const OptString& key, Field field) {
  if (!key) return nullptr;
  for (const auto& account : config.accounts) {
    const OptString& value = (*account).*field;
    if (value && EqualsNoCase(*value, *key)) return account;
  }
  return nullptr;
}

}  // namespace

void AppendDefaultMessages(CPConfig& config) {
  for (const DefaultMessage& m : kDefaultMessages) {
    auto entry = std::make_shared<CPConfigMessage>();
    entry->type = WideToUtf8(std::u16string(m.type));
    entry->description = WideToUtf8(std::u16string(m.description));
    config.messages.push_back(std::move(entry));
  }
}

std::shared_ptr<CPConfigAccount> FindAccountByParticipantId(const CPConfig& config, const OptString& id) {
  return FindAccount(config, id, &CPConfigAccount::ParticipantID);
}

std::shared_ptr<CPConfigAccount> FindAccountByLogin(const CPConfig& config, const OptString& login) {
  return FindAccount(config, login, &CPConfigAccount::login);
}

}  // namespace zel
