/* Administration pages: talking to configure.cgi and reading its replies.
 * A reply is "SUCCESS:" with optional items name::=::value::,:: (a text
 * value between double quotes), or "ERROR:" and a code. */
'use strict';

const QCFG_ERRORS = {
  101: 'The database type must be SQLite or ODBC.',
  201: 'The data source refused the user name and password.',
  202: 'The data source holds no database and you chose not to create one.',
  203: 'The database could not be created or upgraded.',
  401: 'The directory did not answer in time.',
  402: 'The directory is busy; try again shortly.',
  403: 'The directory server is down or cannot be reached.',
  404: 'The directory is unavailable.',
  407: 'The administrators\' group was not found in the directory (or none was given).',
  408: 'The help-desk group was not found in the directory.',
  409: 'The directory host cannot be reached, or the domain was not found there.',
  410: 'That user was not found in the directory.',
  411: 'The directory refused the query account\'s name or password.',
  413: 'That user is not a member of the administrators\' group.',
  414: 'User name or password missing or wrong.',
  415: 'The directory sent a referral that cannot be read.',
  416: 'The directory does not speak LDAP version 3.',
  418: 'The directory search failed.',
  601: 'This login form does not fit the server\'s login mode; reload the page.',
  602: 'Wrong password.',
  603: 'This account may not use the configuration pages.',
  701: 'The configuration tool could not create its lock.',
  702: 'The configuration tool is busy; try again.',
  703: 'The configuration tool could not take its lock.',
  704: 'The configuration tool cannot find its start-up file.',
  705: 'The configuration tool ran out of memory.',
  706: 'The configuration tool\'s start-up file names no installation.',
  707: 'The configuration tool cannot open its log file.',
  801: 'The directory client ran out of memory.',
  802: 'The installation path of the configuration tool is not valid.',
  803: 'The configuration tool does not know that request.',
  805: 'The configuration tool does not know its installation path.',
  806: 'Your session has ended; please log in again.',
  807: 'The configuration file could not be written.',
  808: 'The restart of the server could not be started.',
  809: 'The request was refused: it must come from these pages.',
};

/* Parses a reply into {ok, code, items, text}. */
function qcfgParse(text) {
  /* a page instead of a reply: the tool asks for a login first */
  if (text.trimStart().startsWith('<')) return { ok: false, code: 806, items: {}, text: '' };
  const at = text.indexOf('ERROR:');
  if (!text.startsWith('SUCCESS:') || at >= 0) {
    const rest = at >= 0 ? text.slice(at + 6) : text;
    const code = parseInt(rest, 10);
    return { ok: false, code: isNaN(code) ? null : code, items: {}, text: rest };
  }
  const items = {};
  const body = text.slice(8);
  for (const part of body.split('::,::')) {
    const eq = part.indexOf('::=::');
    if (eq < 0) continue;
    let value = part.slice(eq + 5);
    if (value.length >= 2 && value[0] === '"' && value[value.length - 1] === '"') value = value.slice(1, -1);
    items[part.slice(0, eq)] = value;
  }
  return { ok: true, code: 0, items, text: body };
}

/* A sentence for a failed reply, with the code beside it. */
function qcfgErrorText(reply) {
  if (reply.code === null) return 'The server answered: ' + reply.text;
  const sentence = QCFG_ERRORS[reply.code] || 'The request failed.';
  return sentence + ' (code ' + reply.code + ')';
}

/* Sends a query; fields is an object or a URLSearchParams. */
async function qcfgQuery(type, fields, method) {
  const params = new URLSearchParams(fields || {});
  params.set('type', type);
  let response;
  try {
    if ((method || 'POST') === 'GET') {
      response = await fetch('configure.cgi?' + params.toString(), { credentials: 'same-origin', cache: 'no-store' });
    } else {
      response = await fetch('configure.cgi', {
        method: 'POST', credentials: 'same-origin', cache: 'no-store',
        headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: params.toString(),
      });
    }
  } catch (e) {
    return { ok: false, code: null, items: {}, text: 'the server cannot be reached (' + e.message + ')' };
  }
  return qcfgParse(await response.text());
}

function qcfgShow(id, text, kind) {
  const box = document.getElementById(id);
  box.className = 'message ' + (kind || '');
  box.textContent = text;
}

/* Login pages: send the form's fields as a Login query. */
function qcfgLoginForm(formId) {
  const form = document.getElementById(formId);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const button = form.querySelector('button[type=submit]');
    button.disabled = true;
    qcfgShow('message', '', '');
    const fields = new URLSearchParams(new FormData(form));
    const reply = await qcfgQuery('Login', fields);
    button.disabled = false;
    if (reply.ok) {
      window.location.href = 'configure.cgi';
    } else {
      qcfgShow('message', qcfgErrorText(reply), 'error');
      const pw = form.querySelector('input[type=password]');
      if (pw) { pw.value = ''; pw.focus(); }
    }
  });
}
