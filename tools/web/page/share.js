// Share links (the owner's side): the gateway makes them on a text message of the owner's
// WebSocket, answers in text, and revokes them the same way. The person given a link opens
// the page with ?share=TOKEN and watches (or, with input, uses) the same session.
export function createShare(sendText, panel) {
  const readout = { links: [] };  // { token, input, minutes, url }, also read by the tests
  const list = panel.querySelector('ul');
  const render = () => {
    list.replaceChildren(...readout.links.map((l) => {
      const li = document.createElement('li');
      const field = document.createElement('input');
      field.readOnly = true;
      field.value = l.url;
      field.addEventListener('focus', () => field.select());
      const revoke = document.createElement('button');
      revoke.type = 'button';
      revoke.textContent = 'Revoke';
      revoke.addEventListener('click', () => sendText(`revoke ${l.token}`));
      li.append(l.input ? 'With input: ' : 'View only: ', field, revoke);
      return li;
    }));
  };
  panel.querySelector('form').addEventListener('submit', (e) => {
    e.preventDefault();
    const input = panel.querySelector('[name=input]').checked;
    const minutes = Number(panel.querySelector('[name=minutes]').value) || 60;
    sendText(`share ${input ? 'input' : 'view'} ${minutes}`);
  });
  return {
    readout,
    show() { panel.hidden = false; },
    // A text message of the gateway's; false when it is not about sharing.
    onText(text) {
      const [word, token, mode, minutes] = text.split(' ');
      if (word === 'shared') {
        const url = `${location.origin}/?share=${token}${mode === 'input' ? '&input=1' : ''}`;
        readout.links.push({ token, input: mode === 'input', minutes: Number(minutes), url });
      } else if (word === 'revoked') {
        readout.links = readout.links.filter((l) => l.token !== token);
      } else if (word !== 'refused') {
        return false;
      }
      readout.last = text;
      render();
      return true;
    },
  };
}
