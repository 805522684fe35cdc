/* The configuration page (initConfig.html and reconfig.html): loads the
 * current settings, checks the data source and the directory, saves,
 * restarts and logs out. The page's <body data-initial="1"> marks the first
 * configuration, where an administrator password must be chosen. */
'use strict';

const RESTART_FLAG = 'qcfgRestartNeeded';

function $(id) { return document.getElementById(id); }

function setValue(id, value) { if (value !== undefined) $(id).value = value; }

function showMode() {
  const ldap = $('enableLDAP').checked;
  $('plainSettings').hidden = ldap;
  $('ldapSettings').hidden = !ldap;
  const odbc = $('dbTypeOdbc').checked;
  $('odbcSettings').hidden = !odbc;
  const helpdesk = $('enableHelpdesk').checked;
  $('helpdeskPassField').hidden = !helpdesk || ldap;
  $('helpdeskGroupField').hidden = !helpdesk || !ldap;
  const purge = $('purgeType').value;
  $('purgeAgeField').hidden = purge !== '1';
  $('purgeSizeField').hidden = purge !== '2';
}

function showRestartNotice() {
  const needed = window.localStorage.getItem(RESTART_FLAG) === '1';
  $('restartNotice').hidden = !needed;
}

async function loadSettings() {
  const db = await qcfgQuery('SendData', { page: 'Database' }, 'GET');
  if (!db.ok) {
    qcfgShow('message', qcfgErrorText(db), 'error');
    if (db.code === 806) window.setTimeout(() => { window.location.href = 'configure.cgi'; }, 2000);
    return;
  }
  /* a first configuration holds no store yet: offer SQLite then */
  const initial = document.body.dataset.initial === '1';
  const odbc = db.items.dbType === '1' && !(initial && !db.items.atsDSN);
  (odbc ? $('dbTypeOdbc') : $('dbTypeSqlite')).checked = true;
  setValue('atsDSN', db.items.atsDSN);
  setValue('atsName', db.items.atsName);
  setValue('atsPasswd', db.items.atsPasswd);

  const sec = await qcfgQuery('SendData', { page: 'Security' }, 'GET');
  if (sec.ok) {
    $('enableLDAP').checked = sec.items.enableLDAP === 'true';
    setValue('host', sec.items.host);
    setValue('qUserUPN', sec.items.qUserUPN);
    setValue('qUserPw', sec.items.qUserPw);
    setValue('defDomain', sec.items.defDomain);
    setValue('adminGroupDN', sec.items.adminGroupDN);
    setValue('helpdeskGroupDN', sec.items.helpdeskGroupDN);
    $('enableHelpdesk').checked = sec.items.enablePlainHelpdesk === 'true' || sec.items.enableLDAPHelpdesk === 'true';
  }
  const log = await qcfgQuery('SendData', { page: 'Logging' }, 'GET');
  if (log.ok) {
    for (const name of ['quenAdminDetail', 'packageAdminDetail', 'policyAdminDetail', 'instAdminDetail', 'authDetail'])
      if (log.items[name]) setValue(name, log.items[name]);
    /* nothing saved yet: suggest deleting events after two weeks */
    const fresh = initial && (log.items.purgeType || '0') === '0';
    setValue('purgeType', fresh ? '1' : (log.items.purgeType || '0'));
    if (log.items.purgeAgeValue && log.items.purgeAgeValue !== '0') setValue('purgeAgeValue', log.items.purgeAgeValue);
    if (log.items.purgeSizeValue && log.items.purgeSizeValue !== '0') setValue('purgeSizeValue', log.items.purgeSizeValue);
  }
  showMode();
  const list = await qcfgQuery('GetDSNList', {}, 'GET');
  if (list.ok) {
    const datalist = $('dsnList');
    datalist.textContent = '';
    for (const name of list.text.split('::,::').filter((n) => n)) {
      const option = document.createElement('option');
      option.value = name;
      datalist.appendChild(option);
    }
  }
}

/* The Commit query's fields from the form; passwords only when typed. */
function commitFields() {
  const f = new URLSearchParams();
  const odbc = $('dbTypeOdbc').checked;
  f.set('dbType', odbc ? 'odbc' : 'sqlite');
  f.set('atsDSN', $('atsDSN').value);
  f.set('atsName', $('atsName').value);
  f.set('atsPasswd', $('atsPasswd').value);
  f.set('overwrite', $('overwrite').checked ? '1' : '0');
  const ldap = $('enableLDAP').checked;
  f.set('enableLDAP', ldap ? '1' : '0');
  for (const name of ['host', 'qUserUPN', 'qUserPw', 'defDomain', 'adminGroupDN', 'helpdeskGroupDN'])
    f.set(name, $(name).value);
  if ($('enableHelpdesk').checked) f.set('enableHelpdesk', '1');
  if (!ldap && $('adminPass').value) f.set('adminPass', $('adminPass').value);
  if (!ldap && $('enableHelpdesk').checked && $('helpdeskPass').value) f.set('helpdeskPass', $('helpdeskPass').value);
  for (const name of ['quenAdminDetail', 'packageAdminDetail', 'policyAdminDetail', 'instAdminDetail', 'authDetail',
    'purgeType', 'purgeAgeValue', 'purgeSizeValue'])
    f.set(name, $(name).value);
  return f;
}

/* What the form must hold before it is sent; "" when it is complete. */
function formProblem() {
  const initial = document.body.dataset.initial === '1';
  const ldap = $('enableLDAP').checked;
  if (!ldap) {
    if (initial && !$('adminPass').value) return 'Choose an administrator password.';
    if ($('adminPass').value !== $('adminPassConfirm').value) return 'The two administrator passwords differ.';
  } else {
    if (!$('host').value || !$('defDomain').value || !$('adminGroupDN').value)
      return 'Directory mode needs the directory host, the domain and the administrators\' group.';
  }
  if ($('dbTypeOdbc').checked && !$('atsDSN').value) return 'Name the ODBC data source.';
  const type = $('purgeType').value;
  const value = type === '1' ? $('purgeAgeValue').value : type === '2' ? $('purgeSizeValue').value : '0';
  if (type !== '0' && !/^[1-9][0-9]{0,11}$/.test(value)) return 'The purge value must be a whole number above 0.';
  return '';
}

async function save(event) {
  event.preventDefault();
  const problem = formProblem();
  if (problem) { qcfgShow('message', problem, 'error'); return; }
  const button = $('saveButton');
  button.disabled = true;
  qcfgShow('message', 'Saving…', 'notice');
  const reply = await qcfgQuery('Commit', commitFields());
  button.disabled = false;
  if (reply.ok) {
    window.localStorage.setItem(RESTART_FLAG, '1');
    $('adminPass').value = $('adminPassConfirm').value = $('helpdeskPass').value = '';
    $('overwrite').checked = false;
    qcfgShow('message', 'The configuration is saved. Restart the server so that it uses it.', 'ok');
    showRestartNotice();
  } else {
    qcfgShow('message', qcfgErrorText(reply), 'error');
  }
}

async function checkDataSource() {
  const fields = { atsDSN: $('atsDSN').value, atsName: $('atsName').value, atsPasswd: $('atsPasswd').value, dbConfirm: '0' };
  const reply = await qcfgQuery('CheckDSNData', fields);
  if (!reply.ok) { qcfgShow('message', qcfgErrorText(reply), 'error'); return; }
  if (reply.items.checkSchema === 'true') {
    qcfgShow('message', 'The data source accepts these credentials and holds a current database.', 'ok');
  } else {
    qcfgShow('message', 'The data source accepts these credentials but holds no current database. ' +
      'Tick "Create a new, empty database" to create one when you save.', 'notice');
  }
}

async function checkDirectory() {
  const fields = {};
  for (const name of ['host', 'qUserUPN', 'qUserPw', 'defDomain', 'adminGroupDN'])
    fields[name] = $(name).value;
  if ($('enableHelpdesk').checked) fields.helpdeskGroupDN = $('helpdeskGroupDN').value;
  qcfgShow('message', 'Checking the directory…', 'notice');
  const reply = await qcfgQuery('CheckLDAPData', fields);
  if (reply.ok) qcfgShow('message', 'The directory settings are correct.', 'ok');
  else qcfgShow('message', qcfgErrorText(reply), 'error');
}

async function restart() {
  const button = $('restartButton');
  button.disabled = true;
  const reply = await qcfgQuery('Restart', {});
  if (reply.ok) {
    window.localStorage.removeItem(RESTART_FLAG);
    showRestartNotice();
    qcfgShow('message', 'The server is restarting. You will be asked to log in again.', 'ok');
    window.setTimeout(() => { window.location.href = 'configure.cgi'; }, 3000);
  } else {
    button.disabled = false;
    qcfgShow('message', qcfgErrorText(reply), 'error');
  }
}

document.addEventListener('DOMContentLoaded', () => {
  for (const id of ['enableLDAP', 'dbTypeSqlite', 'dbTypeOdbc', 'enableHelpdesk', 'purgeType'])
    $(id).addEventListener('change', showMode);
  $('config').addEventListener('submit', save);
  $('checkDsnButton').addEventListener('click', checkDataSource);
  $('checkLdapButton').addEventListener('click', checkDirectory);
  $('restartButton').addEventListener('click', restart);
  showMode();
  showRestartNotice();
  loadSettings();
});
