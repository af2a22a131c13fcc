// Every text zel-config shows: labels, titles and messages, byte for byte as the users know them.
// Kept in one place so the dialogs and the tests quote the same strings.
#pragma once

namespace zel::texts {

inline constexpr const char* kVersion = "2.1.0444";
inline constexpr const char* kPlaceholder = "************";
inline constexpr const char* kServerHostShown = "Велмор";
inline constexpr const char* kServiceName = "CarvossService";

// Start-up and saving.
inline constexpr const char* kNoProgramPath = "Cannot get default directory";
inline constexpr const char* kWrongProgramPath = "Got wrong default directory";
inline constexpr const char* kCannotOpenConfig = "Cannot open config file %1";
inline constexpr const char* kCannotWriteConfig = "Не удалось записать файл конфигурации %1:\n%2";
inline constexpr const char* kOpenSCManagerFailed = "OpenSCManager failed, error %1\n";
inline constexpr const char* kOpenServiceFailed = "OpenService failed, error %1\n";
inline constexpr const char* kStartServiceFailed = "StartService failed, error %1\n";
inline constexpr const char* kNeedRoot =
    "Для изменения конфигурации нужны права администратора.\n"
    "Программа pkexec не найдена: запустите zel-config от имени root.";
inline constexpr const char* kElevationFailed =
    "Не удалось получить права администратора (pkexec, код %1).\nКонфигурация не изменена.";

// Main dialog.
inline constexpr const char* kConfigTitle = "Конфигурация";
inline constexpr const char* kGroupLocation = "Расположение";
inline constexpr const char* kGroupServer = "Сервер";
inline constexpr const char* kGroupAccounts = "Аккаунты";
inline constexpr const char* kBasedir = "Рабочий каталог";
inline constexpr const char* kInbound = "Входящие";
inline constexpr const char* kSubdirs = "Создавать подкаталоги для каждого аккаунта ";
inline constexpr const char* kByLogin = "Разделение по логинам";
inline constexpr const char* kCopyEnabled = "Копировать входящие в каталог";
inline constexpr const char* kCopy = "Копия входящих";
inline constexpr const char* kOutbound = "Исходящие";
inline constexpr const char* kBad = "Поврежденные файлы";
inline constexpr const char* kQueue = "Очередь";
inline constexpr const char* kTemp = "Временные файлы";
inline constexpr const char* kLogfile = "Лог-файл";
inline constexpr const char* kHost = "Хост";
inline constexpr const char* kPort = "Порт";
inline constexpr const char* kRefresh = "Период опроса";
inline constexpr const char* kSeconds = "сек.";
inline constexpr const char* kList = "Список файлов";
inline constexpr const char* kGet = "Получение файла";
inline constexpr const char* kPost = "Отправка файла";
inline constexpr const char* kRemove = "Удаление файла";
inline constexpr const char* kCompression = "Включить сжатие данных";
inline constexpr const char* kProxyEnabled = "Соединение через прокси-сервер";
inline constexpr const char* kProxyAuth = "Авторизация на прокси";
inline constexpr const char* kLogin = "Логин";
inline constexpr const char* kPassword = "Пароль";
inline constexpr const char* kProxyAd = "Сквозная авторизация в домене Windows";
inline constexpr const char* kTextMessage = "Показывать сообщения сервера";
inline constexpr const char* kTestConnection = "Проверить соединение";
inline constexpr const char* kMailserver = "Почтовый сервер";
inline constexpr const char* kPorts = "Порты";
inline constexpr const char* kSmtp = "SMTP";
inline constexpr const char* kPop3 = "POP3";
inline constexpr const char* kAdd = "Добавить";
inline constexpr const char* kEdit = "Изменить";
inline constexpr const char* kDelete = "Удалить";
inline constexpr const char* kSave = "Сохранить";
inline constexpr const char* kCancel = "Отмена";
inline constexpr const char* kBrowse = "...";
inline constexpr const char* kAllFiles = "All Files (*)";

inline constexpr const char* kNotInteger = "Введите целое число.";
inline constexpr const char* kBadValue = "Неверное значение поля %1";
inline constexpr const char* kNoFolder = "Папка %1 не найдена для поля %2";
inline constexpr const char* kServerList = "Сервер - Список файлов";
inline constexpr const char* kServerGet = "Сервер - Получение файла";
inline constexpr const char* kServerPost = "Сервер - Отправка файла";
inline constexpr const char* kServerRemove = "Сервер - Удаление файла";
inline constexpr const char* kServerHost = "Сервер - Хост";
inline constexpr const char* kProxyHost = "Прокси - Хост";
inline constexpr const char* kProxyPort = "Прокси - Порт";
inline constexpr const char* kProxyLogin = "Прокси - Логин";
inline constexpr const char* kSmtpPort = "Порт - SMTP";
inline constexpr const char* kPop3Port = "Порт - POP3";
inline constexpr const char* kEmptyAccounts = "Список аккаунтов пуст. Продолжить?";
inline constexpr const char* kDeleteAccount = "Вы действительно хотите удалить аккаунт %1?";
inline constexpr const char* kConnected = "Соединение успешно установлено";
inline constexpr const char* kConnectFailed = "Ошибка соединения с сервером";
inline constexpr const char* kTlsFailed = "Ошибка SSL соединения с сервером";

// Account dialogs.
inline constexpr const char* kAccountTitle = "Аккаунт";
inline constexpr const char* kName = "Имя";
inline constexpr const char* kParticipantId = "ParticipantID";
inline constexpr const char* kPasswordAgain = "Пароль (еще раз)";
inline constexpr const char* kNotify = "Оповещение";
inline constexpr const char* kPhone = "Номер телефона";
inline constexpr const char* kTimeout = "Время ожидания";
inline constexpr const char* kMinutes = "минут";
inline constexpr const char* kTest = "Тест";
inline constexpr const char* kServer = "Сервер";
inline constexpr const char* kOk = "OK";
inline constexpr const char* kSmsUnavailable = "Функция СМС-оповещения недоступна";
inline constexpr const char* kPasswordsDiffer = "Пароли не совпадают";
inline constexpr const char* kAccountsTitle = "Аккаунты";
inline constexpr const char* kFilter = "Фильтр";
inline constexpr const char* kApplyFilter = "?";
inline constexpr const char* kApplyAndClose = "Применить и закрыть";

}  // namespace zel::texts
