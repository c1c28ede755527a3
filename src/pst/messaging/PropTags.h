#pragma once
// Tagged properties ([MS-OXPROPS]) used across the project. Add what a module
// needs to the section for it; keep one definition per tag.
#include "PropertyValue.h"

namespace pst::tags {

// --- Common message properties ------------------------------------------------
inline constexpr uint32_t PR_MESSAGE_CLASS = MakeTag(0x001A, PT_UNICODE);
inline constexpr uint32_t PR_SUBJECT = MakeTag(0x0037, PT_UNICODE);
inline constexpr uint32_t PR_SUBJECT_PREFIX = MakeTag(0x003D, PT_UNICODE);
inline constexpr uint32_t PR_NORMALIZED_SUBJECT = MakeTag(0x0E1D, PT_UNICODE);
inline constexpr uint32_t PR_CONVERSATION_TOPIC = MakeTag(0x0070, PT_UNICODE);
inline constexpr uint32_t PR_CONVERSATION_INDEX = MakeTag(0x0071, PT_BINARY);
inline constexpr uint32_t PR_IMPORTANCE = MakeTag(0x0017, PT_LONG);
inline constexpr uint32_t PR_READ_RECEIPT_REQUESTED = MakeTag(0x0029, PT_BOOLEAN);
inline constexpr uint32_t PR_PRIORITY = MakeTag(0x0026, PT_LONG);
inline constexpr uint32_t PR_SENSITIVITY = MakeTag(0x0036, PT_LONG);
inline constexpr uint32_t PR_MESSAGE_FLAGS = MakeTag(0x0E07, PT_LONG);
inline constexpr uint32_t PR_MESSAGE_SIZE = MakeTag(0x0E08, PT_LONG);
inline constexpr uint32_t PR_MESSAGE_STATUS = MakeTag(0x0E17, PT_LONG);
inline constexpr uint32_t PR_HASATTACH = MakeTag(0x0E1B, PT_BOOLEAN);
inline constexpr uint32_t PR_CLIENT_SUBMIT_TIME = MakeTag(0x0039, PT_SYSTIME);
inline constexpr uint32_t PR_MESSAGE_DELIVERY_TIME = MakeTag(0x0E06, PT_SYSTIME);
inline constexpr uint32_t PR_CREATION_TIME = MakeTag(0x3007, PT_SYSTIME);
inline constexpr uint32_t PR_LAST_MODIFICATION_TIME = MakeTag(0x3008, PT_SYSTIME);
inline constexpr uint32_t PR_BODY = MakeTag(0x1000, PT_UNICODE);
inline constexpr uint32_t PR_HTML = MakeTag(0x1013, PT_BINARY);
inline constexpr uint32_t PR_RTF_COMPRESSED = MakeTag(0x1009, PT_BINARY);
inline constexpr uint32_t PR_INTERNET_CPID = MakeTag(0x3FDE, PT_LONG);
inline constexpr uint32_t PR_MESSAGE_CODEPAGE = MakeTag(0x3FFD, PT_LONG);
inline constexpr uint32_t PR_TRANSPORT_MESSAGE_HEADERS = MakeTag(0x007D, PT_UNICODE);
inline constexpr uint32_t PR_INTERNET_MESSAGE_ID = MakeTag(0x1035, PT_UNICODE);
inline constexpr uint32_t PR_IN_REPLY_TO_ID = MakeTag(0x1042, PT_UNICODE);
inline constexpr uint32_t PR_INTERNET_REFERENCES = MakeTag(0x1039, PT_UNICODE);
inline constexpr uint32_t PR_SEARCH_KEY = MakeTag(0x300B, PT_BINARY);
inline constexpr uint32_t PR_ENTRYID = MakeTag(0x0FFF, PT_BINARY);
inline constexpr uint32_t PR_RECORD_KEY = MakeTag(0x0FF9, PT_BINARY);

// --- Sender, sent-representing, reply-to --------------------------------------
inline constexpr uint32_t PR_SENDER_NAME = MakeTag(0x0C1A, PT_UNICODE);
inline constexpr uint32_t PR_SENDER_EMAIL_ADDRESS = MakeTag(0x0C1F, PT_UNICODE);
inline constexpr uint32_t PR_SENDER_ADDRTYPE = MakeTag(0x0C1E, PT_UNICODE);
inline constexpr uint32_t PR_SENDER_ENTRYID = MakeTag(0x0C19, PT_BINARY);
inline constexpr uint32_t PR_SENDER_SEARCH_KEY = MakeTag(0x0C1D, PT_BINARY);
inline constexpr uint32_t PR_SENT_REPRESENTING_NAME = MakeTag(0x0042, PT_UNICODE);
inline constexpr uint32_t PR_SENT_REPRESENTING_EMAIL_ADDRESS = MakeTag(0x0065, PT_UNICODE);
inline constexpr uint32_t PR_SENT_REPRESENTING_ADDRTYPE = MakeTag(0x0064, PT_UNICODE);
inline constexpr uint32_t PR_SENT_REPRESENTING_ENTRYID = MakeTag(0x0041, PT_BINARY);
inline constexpr uint32_t PR_SENT_REPRESENTING_SEARCH_KEY = MakeTag(0x003B, PT_BINARY);
inline constexpr uint32_t PR_SENDER_SMTP_ADDRESS = MakeTag(0x5D01, PT_UNICODE);
inline constexpr uint32_t PR_SENT_REPRESENTING_SMTP_ADDRESS = MakeTag(0x5D02, PT_UNICODE);
inline constexpr uint32_t PR_REPLY_RECIPIENT_NAMES = MakeTag(0x0050, PT_UNICODE);
inline constexpr uint32_t PR_REPLY_RECIPIENT_ENTRIES = MakeTag(0x004F, PT_BINARY);
inline constexpr uint32_t PR_DISPLAY_TO = MakeTag(0x0E04, PT_UNICODE);
inline constexpr uint32_t PR_DISPLAY_CC = MakeTag(0x0E03, PT_UNICODE);
inline constexpr uint32_t PR_DISPLAY_BCC = MakeTag(0x0E02, PT_UNICODE);

// --- Recipient rows -----------------------------------------------------------
inline constexpr uint32_t PR_RECIPIENT_TYPE = MakeTag(0x0C15, PT_LONG);  // 1 To, 2 Cc, 3 Bcc
inline constexpr uint32_t PR_DISPLAY_NAME = MakeTag(0x3001, PT_UNICODE);
inline constexpr uint32_t PR_ADDRTYPE = MakeTag(0x3002, PT_UNICODE);
inline constexpr uint32_t PR_EMAIL_ADDRESS = MakeTag(0x3003, PT_UNICODE);
inline constexpr uint32_t PR_SMTP_ADDRESS = MakeTag(0x39FE, PT_UNICODE);
inline constexpr uint32_t PR_TRANSMITABLE_DISPLAY_NAME = MakeTag(0x3A20, PT_UNICODE);
inline constexpr uint32_t PR_OBJECT_TYPE = MakeTag(0x0FFE, PT_LONG);
inline constexpr uint32_t PR_DISPLAY_TYPE = MakeTag(0x3900, PT_LONG);
inline constexpr uint32_t PR_ROWID = MakeTag(0x3000, PT_LONG);
inline constexpr uint32_t PR_RECIPIENT_FLAGS = MakeTag(0x5FFD, PT_LONG);
inline constexpr uint32_t PR_RESPONSIBILITY = MakeTag(0x0E0F, PT_BOOLEAN);
inline constexpr uint32_t PR_SEND_RICH_INFO = MakeTag(0x3A40, PT_BOOLEAN);
inline constexpr uint32_t PR_RECIPIENT_TRACKSTATUS = MakeTag(0x5FFF, PT_LONG);  // [MS-OXOCAL] 2.2.4.10.4

// --- Attachments --------------------------------------------------------------
inline constexpr uint32_t PR_ATTACH_METHOD = MakeTag(0x3705, PT_LONG);  // 1 by value, 5 embedded message, 6 OLE
inline constexpr uint32_t PR_ATTACH_NUM = MakeTag(0x0E21, PT_LONG);
inline constexpr uint32_t PR_ATTACH_SIZE = MakeTag(0x0E20, PT_LONG);
inline constexpr uint32_t PR_ATTACH_DATA_BIN = MakeTag(0x3701, PT_BINARY);
inline constexpr uint32_t PR_ATTACH_DATA_OBJ = MakeTag(0x3701, PT_OBJECT);
inline constexpr uint32_t PR_ATTACH_FILENAME = MakeTag(0x3704, PT_UNICODE);
inline constexpr uint32_t PR_ATTACH_LONG_FILENAME = MakeTag(0x3707, PT_UNICODE);
inline constexpr uint32_t PR_ATTACH_EXTENSION = MakeTag(0x3703, PT_UNICODE);
inline constexpr uint32_t PR_ATTACH_MIME_TAG = MakeTag(0x370E, PT_UNICODE);
inline constexpr uint32_t PR_ATTACH_CONTENT_ID = MakeTag(0x3712, PT_UNICODE);
inline constexpr uint32_t PR_ATTACH_CONTENT_LOCATION = MakeTag(0x3713, PT_UNICODE);
inline constexpr uint32_t PR_ATTACH_FLAGS = MakeTag(0x3714, PT_LONG);
inline constexpr uint32_t PR_ATTACHMENT_HIDDEN = MakeTag(0x7FFE, PT_BOOLEAN);
inline constexpr uint32_t PR_ATTACHMENT_FLAGS = MakeTag(0x7FFD, PT_LONG);
inline constexpr uint32_t PR_ATTACHMENT_CONTACTPHOTO = MakeTag(0x7FFF, PT_BOOLEAN);
inline constexpr uint32_t PR_ATTACHMENT_LINKID = MakeTag(0x7FFA, PT_LONG);
inline constexpr uint32_t PR_RENDERING_POSITION = MakeTag(0x370B, PT_LONG);

// --- Folders ------------------------------------------------------------------
inline constexpr uint32_t PR_CONTENT_COUNT = MakeTag(0x3602, PT_LONG);
inline constexpr uint32_t PR_CONTENT_UNREAD = MakeTag(0x3603, PT_LONG);
inline constexpr uint32_t PR_SUBFOLDERS = MakeTag(0x360A, PT_BOOLEAN);
inline constexpr uint32_t PR_CONTAINER_CLASS = MakeTag(0x3613, PT_UNICODE);
inline constexpr uint32_t PR_ASSOC_CONTENT_COUNT = MakeTag(0x3617, PT_LONG);

// --- Contacts (tagged part) ---------------------------------------------------
inline constexpr uint32_t PR_GIVEN_NAME = MakeTag(0x3A06, PT_UNICODE);
inline constexpr uint32_t PR_MIDDLE_NAME = MakeTag(0x3A44, PT_UNICODE);
inline constexpr uint32_t PR_SURNAME = MakeTag(0x3A11, PT_UNICODE);
inline constexpr uint32_t PR_GENERATION = MakeTag(0x3A05, PT_UNICODE);
inline constexpr uint32_t PR_DISPLAY_NAME_PREFIX = MakeTag(0x3A45, PT_UNICODE);
inline constexpr uint32_t PR_COMPANY_NAME = MakeTag(0x3A16, PT_UNICODE);
inline constexpr uint32_t PR_TITLE = MakeTag(0x3A17, PT_UNICODE);
inline constexpr uint32_t PR_PROFESSION = MakeTag(0x3A46, PT_UNICODE);
inline constexpr uint32_t PR_DEPARTMENT_NAME = MakeTag(0x3A18, PT_UNICODE);
inline constexpr uint32_t PR_OFFICE_LOCATION = MakeTag(0x3A19, PT_UNICODE);
inline constexpr uint32_t PR_MANAGER_NAME = MakeTag(0x3A4E, PT_UNICODE);
inline constexpr uint32_t PR_ASSISTANT = MakeTag(0x3A30, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_TELEPHONE_NUMBER = MakeTag(0x3A08, PT_UNICODE);
inline constexpr uint32_t PR_HOME_TELEPHONE_NUMBER = MakeTag(0x3A09, PT_UNICODE);
inline constexpr uint32_t PR_MOBILE_TELEPHONE_NUMBER = MakeTag(0x3A1C, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_FAX_NUMBER = MakeTag(0x3A24, PT_UNICODE);
inline constexpr uint32_t PR_PAGER_TELEPHONE_NUMBER = MakeTag(0x3A21, PT_UNICODE);
inline constexpr uint32_t PR_CAR_TELEPHONE_NUMBER = MakeTag(0x3A1E, PT_UNICODE);
inline constexpr uint32_t PR_COMPANY_MAIN_PHONE_NUMBER = MakeTag(0x3A57, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_HOME_PAGE = MakeTag(0x3A51, PT_UNICODE);
inline constexpr uint32_t PR_PERSONAL_HOME_PAGE = MakeTag(0x3A50, PT_UNICODE);
inline constexpr uint32_t PR_BIRTHDAY = MakeTag(0x3A42, PT_SYSTIME);
inline constexpr uint32_t PR_HOME_ADDRESS_STREET = MakeTag(0x3A5D, PT_UNICODE);
inline constexpr uint32_t PR_HOME_ADDRESS_CITY = MakeTag(0x3A59, PT_UNICODE);
inline constexpr uint32_t PR_HOME_ADDRESS_STATE_OR_PROVINCE = MakeTag(0x3A5C, PT_UNICODE);
inline constexpr uint32_t PR_HOME_ADDRESS_POSTAL_CODE = MakeTag(0x3A5B, PT_UNICODE);
inline constexpr uint32_t PR_HOME_ADDRESS_COUNTRY = MakeTag(0x3A5A, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_ADDRESS_STREET = MakeTag(0x3A29, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_ADDRESS_CITY = MakeTag(0x3A27, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_ADDRESS_STATE_OR_PROVINCE = MakeTag(0x3A28, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_ADDRESS_POSTAL_CODE = MakeTag(0x3A2A, PT_UNICODE);
inline constexpr uint32_t PR_BUSINESS_ADDRESS_COUNTRY = MakeTag(0x3A26, PT_UNICODE);

// --- Contacts, appointments (tagged part, items converters) ---------------------
inline constexpr uint32_t PR_SPOUSE_NAME = MakeTag(0x3A48, PT_UNICODE);
inline constexpr uint32_t PR_HOME_FAX_NUMBER = MakeTag(0x3A25, PT_UNICODE);
inline constexpr uint32_t PR_NICKNAME = MakeTag(0x3A4F, PT_UNICODE);
inline constexpr uint32_t PR_START_DATE = MakeTag(0x0060, PT_SYSTIME);
inline constexpr uint32_t PR_END_DATE = MakeTag(0x0061, PT_SYSTIME);
inline constexpr uint32_t PR_ICON_INDEX = MakeTag(0x1080, PT_LONG);

// --- Message state: follow-up flag ([MS-OXOFLAG]) and last verb ([MS-OXOMSG]) ---
inline constexpr uint32_t PR_LAST_VERB_EXECUTED = MakeTag(0x1081, PT_LONG);  // 102 reply, 104 forward
inline constexpr uint32_t PR_FLAG_STATUS = MakeTag(0x1090, PT_LONG);         // 1 complete, 2 flagged
inline constexpr uint32_t PR_FOLLOWUP_ICON = MakeTag(0x1095, PT_LONG);       // 6 red flag

// --- Named property ids (LIDs) of contacts, appointments, tasks, notes -----------
// [MS-OXPROPS]; the property set is given beside each group.
namespace lid {
// PSETID_Address ([MS-OXOCNTC])
inline constexpr uint32_t PidLidFileUnder = 0x8005;
inline constexpr uint32_t PidLidFileUnderId = 0x8006;
inline constexpr uint32_t PidLidHasPicture = 0x8015;
inline constexpr uint32_t PidLidHomeAddress = 0x801A;
inline constexpr uint32_t PidLidWorkAddress = 0x801B;
inline constexpr uint32_t PidLidAddressBookProviderEmailList = 0x8028;
inline constexpr uint32_t PidLidAddressBookProviderArrayType = 0x8029;
inline constexpr uint32_t PidLidHtml = 0x802B;
inline constexpr uint32_t PidLidWorkAddressStreet = 0x8045;
inline constexpr uint32_t PidLidWorkAddressCity = 0x8046;
inline constexpr uint32_t PidLidWorkAddressState = 0x8047;
inline constexpr uint32_t PidLidWorkAddressPostalCode = 0x8048;
inline constexpr uint32_t PidLidWorkAddressCountry = 0x8049;
inline constexpr uint32_t PidLidInstantMessagingAddress = 0x8062;
inline constexpr uint32_t PidLidEmail1DisplayName = 0x8080;
inline constexpr uint32_t PidLidEmail1AddressType = 0x8082;
inline constexpr uint32_t PidLidEmail1EmailAddress = 0x8083;
inline constexpr uint32_t PidLidEmail1OriginalDisplayName = 0x8084;
inline constexpr uint32_t PidLidEmail2DisplayName = 0x8090;
inline constexpr uint32_t PidLidEmail2AddressType = 0x8092;
inline constexpr uint32_t PidLidEmail2EmailAddress = 0x8093;
inline constexpr uint32_t PidLidEmail2OriginalDisplayName = 0x8094;
inline constexpr uint32_t PidLidEmail3DisplayName = 0x80A0;
inline constexpr uint32_t PidLidEmail3AddressType = 0x80A2;
inline constexpr uint32_t PidLidEmail3EmailAddress = 0x80A3;
inline constexpr uint32_t PidLidEmail3OriginalDisplayName = 0x80A4;
inline constexpr uint32_t PidLidBirthdayLocal = 0x80DE;
// PSETID_Address: personal distribution lists ([MS-OXOCNTC] 2.2.2)
inline constexpr uint32_t PidLidDistributionListChecksum = 0x804C;
inline constexpr uint32_t PidLidDistributionListName = 0x8053;
inline constexpr uint32_t PidLidDistributionListOneOffMembers = 0x8054;
inline constexpr uint32_t PidLidDistributionListMembers = 0x8055;
// PSETID_Appointment ([MS-OXOCAL])
inline constexpr uint32_t PidLidBusyStatus = 0x8205;
inline constexpr uint32_t PidLidLocation = 0x8208;
inline constexpr uint32_t PidLidAppointmentStartWhole = 0x820D;
inline constexpr uint32_t PidLidAppointmentEndWhole = 0x820E;
inline constexpr uint32_t PidLidAppointmentDuration = 0x8213;
inline constexpr uint32_t PidLidAppointmentSubType = 0x8215;
inline constexpr uint32_t PidLidAppointmentStateFlags = 0x8217;
inline constexpr uint32_t PidLidRecurring = 0x8223;
inline constexpr uint32_t PidLidResponseStatus = 0x8218;
inline constexpr uint32_t PidLidFInvited = 0x8229;
inline constexpr uint32_t PidLidToAttendeesString = 0x823B;
inline constexpr uint32_t PidLidCcAttendeesString = 0x823C;
// PSETID_Meeting ([MS-OXOCAL] 2.2.1.27, 2.2.1.28)
inline constexpr uint32_t PidLidGlobalObjectId = 0x0003;
inline constexpr uint32_t PidLidCleanGlobalObjectId = 0x0023;
// PSETID_Task ([MS-OXOTASK])
inline constexpr uint32_t PidLidTaskStatus = 0x8101;
inline constexpr uint32_t PidLidPercentComplete = 0x8102;
inline constexpr uint32_t PidLidTaskStartDate = 0x8104;
inline constexpr uint32_t PidLidTaskDueDate = 0x8105;
inline constexpr uint32_t PidLidTaskDateCompleted = 0x810F;
inline constexpr uint32_t PidLidTaskComplete = 0x811C;
// PSETID_Common
inline constexpr uint32_t PidLidReminderDelta = 0x8501;
inline constexpr uint32_t PidLidReminderTime = 0x8502;
inline constexpr uint32_t PidLidReminderSet = 0x8503;
inline constexpr uint32_t PidLidReminderSignalTime = 0x8560;
inline constexpr uint32_t PidLidCommonStart = 0x8516;
inline constexpr uint32_t PidLidCommonEnd = 0x8517;
inline constexpr uint32_t PidLidFlagRequest = 0x8530;  // [MS-OXOFLAG] 2.2.1.9
// PSETID_Note ([MS-OXONOTE])
inline constexpr uint32_t PidLidNoteColor = 0x8B00;
inline constexpr uint32_t PidLidNoteWidth = 0x8B02;
inline constexpr uint32_t PidLidNoteHeight = 0x8B03;
inline constexpr uint32_t PidLidNoteX = 0x8B04;
inline constexpr uint32_t PidLidNoteY = 0x8B05;
}  // namespace lid

}  // namespace pst::tags
