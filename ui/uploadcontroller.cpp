// The dialog's upload: what happens between a click on Upload and the
// result on the status line.
#include "ui/plemoform.h"

void PlemoForm::uploadFile()
{
}

void PlemoForm::updateProgressBar(int /*progress*/)
{
}

void PlemoForm::cancelDownload()
{
}
