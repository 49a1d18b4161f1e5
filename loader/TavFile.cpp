#include "TavFile.h"

namespace {

// A NUL would end the text where the pages read it: the folder or country shown, used and saved would
// be another one.
void RefuseNul(const std::string &text, const char *what)
{
    if (text.find('\0') != std::string::npos) throw CArchiveException(std::string("A NUL inside the ") + what);
}

}  // namespace

bool MainPageRecord::operator==(const MainPageRecord &other) const
{
    return deliveryFolder == other.deliveryFolder && options == other.options && countries == other.countries &&
           selectedCountry == other.selectedCountry;
}

bool InstallTypeRecord::operator==(const InstallTypeRecord &other) const
{
    return installationType == other.installationType && storageFolder == other.storageFolder;
}

void SerializeMainPage(CArchive &archive, MainPageRecord &record)
{
    if (archive.IsStoring()) {
        archive << record.deliveryFolder;
        for (std::int32_t option : record.options) archive << option;
        archive << static_cast<std::int32_t>(record.countries.size());
        for (const std::string &country : record.countries) archive << country;
        archive << record.selectedCountry;
        return;
    }
    archive >> record.deliveryFolder;
    RefuseNul(record.deliveryFolder, "delivery folder");
    for (std::int32_t &option : record.options) {
        archive >> option;
        // A check box is either clear or checked.
        if (option != 0 && option != 1) throw CArchiveException("Option value " + std::to_string(option));
    }
    std::int32_t count = 0;
    archive >> count;
    if (count < 0) throw CArchiveException("Negative country count");
    record.countries.clear();
    // Each entry takes at least its prefix byte, so a count beyond the file ends at its end.
    for (std::int32_t i = 0; i < count; ++i) {
        std::string country;
        archive >> country;
        RefuseNul(country, "country list");
        record.countries.push_back(country);
    }
    archive >> record.selectedCountry;
    if (record.selectedCountry < -1 || record.selectedCountry >= count)
        throw CArchiveException("Country selection " + std::to_string(record.selectedCountry));
}

void SerializeInstallType(CArchive &archive, InstallTypeRecord &record)
{
    if (archive.IsStoring()) {
        archive << record.installationType << record.storageFolder;
        return;
    }
    archive >> record.installationType >> record.storageFolder;
    RefuseNul(record.storageFolder, "storage folder");
    // A type the installation-type page does not know would show no choice and still run a road.
    if (record.installationType < 0 || record.installationType >= kInstallTypeCount)
        throw CArchiveException("Unknown installation type " + std::to_string(record.installationType));
}

std::string WriteTavFile(const MainPageRecord &main, const InstallTypeRecord &type)
{
    CArchive archive;
    MainPageRecord mainCopy = main;
    InstallTypeRecord typeCopy = type;
    SerializeMainPage(archive, mainCopy);
    SerializeInstallType(archive, typeCopy);
    return archive.Bytes();
}

bool ReadTavFile(const std::string &bytes, MainPageRecord &main, InstallTypeRecord &type, std::string &error)
{
    CArchive archive(bytes);
    MainPageRecord readMain;
    InstallTypeRecord readType;
    try {
        SerializeMainPage(archive, readMain);
        SerializeInstallType(archive, readType);
    } catch (const CArchiveException &failure) {
        error = failure.what();
        return false;
    }
    main = readMain;
    type = readType;
    return true;
}
